// The byte-stream port shared by FTDI channels and tty serial ports: receive buffers, text
// and binary modes, and the pipe file. Subclasses supply the device access.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "devices/pollable.h"

namespace tyr::ioport {

enum class Parity : int { None = 0, Odd = 1, Even = 2 };

class IoPort : public threading::Pollable {
 public:
  // "none", "odd" and "even" to their parity values.
  static const std::unordered_map<std::string, Parity> kStringParityMap;

  IoPort(std::string name, int pollingIntervalMs);
  ~IoPort() override;

  IoPort(const IoPort&) = delete;
  IoPort& operator=(const IoPort&) = delete;

  // Reads what the device sent and files it into the buffers and the pipe file; does nothing
  // while another operation holds the port.
  void poll() override;
  uint32_t getPollingIntervalMs() const override;

  // Device access, supplied by the subclass. write, setBaudRate, setParity and close take
  // the port mutex themselves; readRaw and isOpenUnsafe expect the caller to hold it. readRaw
  // returns the bytes read (0 when nothing is waiting) or a negative value when the read failed;
  // when the device is gone for good it also calls markGone.
  virtual int write(const uint8_t* data, int length) = 0;
  virtual bool setBaudRate(int baudRate) = 0;
  virtual bool setParity(Parity parity) = 0;
  virtual int readRaw(uint8_t* buffer, int capacity) = 0;
  virtual void close() = 0;
  virtual bool isOpenUnsafe() = 0;

  // Takes up to size characters from the read buffer (all of them when size is 0). Once the
  // device is gone and the buffer is empty, throws std::runtime_error saying so, and the error
  // code becomes the device's code for it.
  std::string read(uint32_t size);
  // A copy of the search buffer, which keeps its content; throws like read once the device is gone.
  std::string bufferedRead();
  // Whether a read found the device gone (unplugged, hung up).
  bool isGone();
  // Empties the read buffer and drops the first offset characters of the search buffer
  // (all of it when offset is 0). Throws std::out_of_range past its end.
  void flush(uint32_t offset);
  void useBinaryMode();
  void useTextMode();
  int32_t getErrorCode();
  // Starts logging received text to a file; true when the file is open and takes data. The file is opened and
  // written without waiting: a FIFO that no process reads is refused (std::runtime_error, the previous pipe file
  // stays), and text that a FIFO or device cannot take now counts as lost, like any failed write.
  bool pipe(const std::string& path, bool useTimestamp, bool append);
  // Throws, once, the error of the pipe writes that failed since the last call (the text names
  // the file, the reason and how many bytes were lost); a failed write is also logged when the
  // failures begin, and writing goes on with the next text.
  void checkPipe();
  void unpipe();
  // Writes text into the pipe file (modified in place); false without an open pipe file.
  bool pipeText(std::string& text, bool fromDevice);

  // Text helpers, exposed for reuse and tests.
  static void changeToLineEnding(std::string& text, const std::string& ending);
  static void appendTimestamp(std::string& text, bool fromDevice);

 protected:
  // Stops piping and closes the device; the subclass destructor calls it first.
  void teardown();
  // Records, with the port mutex held, that the device is gone for good: why (the text reads
  // throw from then on) and the device's error code for it.
  void markGone(const std::string& reason, int32_t code);
  bool pipeTextUnsafe(std::string& text, bool fromDevice);
  void log(const std::string& text) const;

  std::string name;
  std::mutex mutex;
  int32_t errorCode = 0;
  std::string readBuffer;
  // The search buffer's text is searchBuffer from searchStart on: dropping the oldest
  // characters only moves searchStart, and the string is compacted once the dropped part
  // outgrows the kept one, so a full buffer costs no copy of itself per poll.
  std::string searchBuffer;
  size_t searchStart = 0;
  int pipeFd = -1;  // the pipe file, non-blocking; -1: none
  std::string pipePath;
  std::string pipeFailure;  // not yet reported to the script
  uint64_t pipeLostBytes = 0;
  bool pipeFailing = false;
  bool useTimestamp = false;
  bool textMode = true;
  bool lastPipedFromDevice = false;
  uint32_t searchBufferLimit = 1000000;
  // Why the device cannot be read any more (empty while it can), and its error code.
  std::string readFailure;
  int32_t readFailureCode = 0;
  int32_t pollingIntervalMs;

 private:
  // Text-mode conversion of one received chunk. A chunk that ends with CR leaves
  // pendingCr set, so that an LF at the start of the next chunk is taken as its partner.
  std::string convertLineEndings(const char* data, size_t length);
  void appendToSearchBuffer(const char* data, size_t length);
  bool pendingCr = false;
};

}  // namespace tyr::ioport
