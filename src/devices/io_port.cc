#include "devices/io_port.h"

#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "utility/log_line.h"
#include "utility/nonblocking_open.h"

namespace tyr::ioport {

const std::unordered_map<std::string, Parity> IoPort::kStringParityMap = {
    {"none", Parity::None}, {"odd", Parity::Odd}, {"even", Parity::Even}};

IoPort::IoPort(std::string name, int pollingIntervalMs)
    : name(std::move(name)), pollingIntervalMs(pollingIntervalMs) {}

IoPort::~IoPort() {
  if (pipeFd >= 0) ::close(pipeFd);
}

uint32_t IoPort::getPollingIntervalMs() const { return static_cast<uint32_t>(pollingIntervalMs); }

void IoPort::log(const std::string& text) const { kyt::LogLine(name + text); }

std::string IoPort::convertLineEndings(const char* data, size_t length) {
  std::string out;
  out.reserve(length);
  size_t i = 0;
  if (pendingCr && length > 0 && data[0] == '\n') i = 1;
  while (i < length) {
    const void* cr = std::memchr(data + i, '\r', length - i);
    size_t end = cr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : length;
    out.append(data + i, end - i);
    i = end;
    if (!cr) break;
    // A run of CRs followed by LF becomes one newline; CRs without an LF each become one.
    size_t run = 0;
    while (i < length && data[i] == '\r') {
      ++run;
      ++i;
    }
    if (i < length && data[i] == '\n') {
      out.push_back('\n');
      ++i;
    } else {
      out.append(run, '\n');
    }
  }
  pendingCr = length > 0 && data[length - 1] == '\r';
  return out;
}

void IoPort::poll() {
  // A port busy with another operation (a slow control transfer, say) is read at its next poll:
  // the poll thread serves every port and must not wait for one.
  std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (!isOpenUnsafe()) {
    log(": terminating poller");
    return;
  }
  if (!readFailure.empty()) return;  // the device is gone: nothing more will come
  uint8_t buffer[1024];
  int n = readRaw(buffer, sizeof(buffer));
  if (n <= 0) return;
  if (textMode) {
    std::string text = convertLineEndings(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    if (text.empty()) return;
    readBuffer += text;
    appendToSearchBuffer(text.data(), text.size());
    pipeTextUnsafe(text, true);
  } else {
    readBuffer.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    appendToSearchBuffer(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
}

void IoPort::appendToSearchBuffer(const char* data, size_t length) {
  searchBuffer.append(data, length);
  size_t kept = searchBuffer.size() - searchStart;
  if (kept > searchBufferLimit) searchStart += kept - searchBufferLimit;
  if (searchStart > searchBuffer.size() - searchStart) {
    searchBuffer.erase(0, searchStart);
    searchStart = 0;
  }
}

std::string IoPort::read(uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex);
  // What arrived before the device went is handed out first.
  if (readBuffer.empty() && !readFailure.empty()) {
    errorCode = readFailureCode;
    throw std::runtime_error(readFailure);
  }
  std::string out;
  if (size == 0 || size >= readBuffer.size()) {
    out.swap(readBuffer);
  } else {
    out = readBuffer.substr(0, size);
    readBuffer.erase(0, size);
  }
  errorCode = 0;
  return out;
}

std::string IoPort::bufferedRead() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!readFailure.empty()) {
    errorCode = readFailureCode;
    throw std::runtime_error(readFailure);
  }
  errorCode = 0;
  return searchBuffer.substr(searchStart);
}

void IoPort::flush(uint32_t offset) {
  std::lock_guard<std::mutex> lock(mutex);
  log(": flushing buffer");
  readBuffer.clear();
  if (offset == 0) {
    searchBuffer.clear();
    searchStart = 0;
    log(": flushed all search buffer");
  } else {
    searchBuffer = searchBuffer.substr(searchStart).substr(offset);  // throws std::out_of_range past the end
    searchStart = 0;
    log(": flushed search buffer. remaining: " + std::to_string(searchBuffer.size()) + " chars");
  }
  std::string note = "\nflushing read buffer";
  pipeTextUnsafe(note, false);
  errorCode = 0;
}

void IoPort::useBinaryMode() {
  std::lock_guard<std::mutex> lock(mutex);
  log(": changing to binary mode");
  textMode = false;
  pendingCr = false;
  errorCode = 0;
}

void IoPort::useTextMode() {
  std::lock_guard<std::mutex> lock(mutex);
  log(": changing to text mode");
  textMode = true;
  errorCode = 0;
}

bool IoPort::isGone() {
  std::lock_guard<std::mutex> lock(mutex);
  return !readFailure.empty();
}

int32_t IoPort::getErrorCode() {
  std::lock_guard<std::mutex> lock(mutex);
  return errorCode;
}

bool IoPort::pipe(const std::string& path, bool timestamp, bool append) {
  std::lock_guard<std::mutex> lock(mutex);
  log(": piping logs to " + path);
  // Unbuffered and never waiting: each text reaches the file (or fails) when it is piped, nothing of a failed write
  // waits to be written twice, and a reader that stops reading never holds the poll thread or the port.
  const NonblockingFile file = OpenNonblocking(path, append ? O_APPEND : O_TRUNC);
  if (file.fifoWithoutReader) {
    throw std::runtime_error("The pipe file " + path + " is a FIFO that no process reads: start its reader first");
  }
  useTimestamp = timestamp;
  if (pipeFd >= 0) ::close(pipeFd);  // the previous file, if any
  pipeFd = file.fd;
  pipePath = path;
  pipeFailure.clear();
  pipeLostBytes = 0;
  pipeFailing = false;
  std::string newline = "\n";
  bool ok = pipeTextUnsafe(newline, true);
  if (!ok && pipeFd >= 0) {
    // A file that takes nothing (a full disk, /dev/full): no pipe, and the result says so.
    ::close(pipeFd);
    pipeFd = -1;
    pipeFailure.clear();
  }
  errorCode = 0;
  return ok;
}

void IoPort::checkPipe() {
  std::lock_guard<std::mutex> lock(mutex);
  if (pipeFailure.empty()) return;
  throw std::runtime_error(std::exchange(pipeFailure, std::string()));
}

void IoPort::unpipe() {
  std::lock_guard<std::mutex> lock(mutex);
  if (pipeFd >= 0) {
    log(": unpiping");
    ::close(pipeFd);
    pipeFd = -1;
  }
  errorCode = 0;
}

bool IoPort::pipeText(std::string& text, bool fromDevice) {
  std::lock_guard<std::mutex> lock(mutex);
  bool ok = pipeTextUnsafe(text, fromDevice);
  errorCode = 0;
  return ok;
}

bool IoPort::pipeTextUnsafe(std::string& text, bool fromDevice) {
  if (pipeFd < 0) return false;
  if (fromDevice && !lastPipedFromDevice) text.insert(0, "\n");
  if (useTimestamp) appendTimestamp(text, fromDevice);
  int error = 0;
  const size_t written = WriteNonblocking(pipeFd, text.data(), text.size(), error);
  if (written < text.size()) {
    const std::string reason = error == 0 ? "the file took only part of the text"
                               : error == EAGAIN || error == EWOULDBLOCK
                                   ? "the file takes no data now (its reader does not read)"
                                   : std::strerror(error);
    // What did not go out is lost; the next text is tried again.
    pipeLostBytes += text.size() - written;
    if (!pipeFailing) log(": failed to write the pipe file " + pipePath + ": " + reason);
    pipeFailing = true;
    pipeFailure = "Writing the pipe file " + pipePath + " failed: " + reason + " (" + std::to_string(pipeLostBytes) +
                  " bytes lost)";
    return false;
  }
  if (pipeFailing) log(": writing the pipe file " + pipePath + " again");
  pipeFailing = false;
  lastPipedFromDevice = fromDevice;
  return true;
}

void IoPort::changeToLineEnding(std::string& text, const std::string& ending) {
  if (ending.empty()) return;
  size_t pos = text.find(ending);
  while (pos != std::string::npos) {
    text.replace(pos, ending.size(), "\n");
    // A replacement can complete a new occurrence just before it, so look again from a
    // point that covers it.
    size_t back = ending.size() - 1;
    pos = text.find(ending, pos >= back ? pos - back : 0);
  }
}

void IoPort::appendTimestamp(std::string& text, bool fromDevice) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  size_t len = std::strftime(stamp, sizeof(stamp), "%m/%d/%Y, %T.", &local);
  char millis[8];
  std::snprintf(millis, sizeof(millis), "%03d", static_cast<int>(ms));
  std::string prefix = std::string(stamp, len) + millis + (fromDevice ? " | DEVICE | " : " | SCRIPT | ");
  size_t pos = text.find('\n');
  while (pos != std::string::npos) {
    text.insert(pos + 1, prefix);
    pos = text.find('\n', pos + 1 + prefix.size());
  }
}

void IoPort::markGone(const std::string& reason, int32_t code) {
  if (!readFailure.empty()) return;  // the first reason stands
  readFailure = reason;
  readFailureCode = code;
  log(": " + reason);
}

void IoPort::teardown() {
  unpipe();
  close();
}

}  // namespace tyr::ioport
