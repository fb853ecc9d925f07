// Receive path of a byte-stream port: one poll takes a 1024-byte chunk from the device,
// converts its line endings (text mode) and files it into the buffers and, optionally, the
// pipe file. The script side drains the read buffer as it would.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "devices/io_port.h"

namespace {

class ChunkPort : public tyr::ioport::IoPort {
 public:
  explicit ChunkPort(std::string chunk) : IoPort("BENCH", 1), chunk_(std::move(chunk)) {}
  ~ChunkPort() override { teardown(); }
  int write(const uint8_t*, int length) override { return length; }
  bool setBaudRate(int) override { return true; }
  bool setParity(tyr::ioport::Parity) override { return true; }
  int readRaw(uint8_t* buffer, int capacity) override {
    size_t n = std::min(chunk_.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, chunk_.data(), n);
    return static_cast<int>(n);
  }
  void close() override {}
  bool isOpenUnsafe() override { return true; }

 private:
  std::string chunk_;
};

std::string Lines(size_t size) {
  std::string text;
  while (text.size() < size) text += "sensor 12.5V 0.42A ok\r\n";
  return text.substr(0, size);
}

void BM_PollTextMode(benchmark::State& state) {
  ChunkPort port(Lines(1024));
  for (auto _ : state) {
    port.poll();
    benchmark::DoNotOptimize(port.read(0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_PollTextMode);

void BM_PollBinaryMode(benchmark::State& state) {
  ChunkPort port(Lines(1024));
  port.useBinaryMode();
  for (auto _ : state) {
    port.poll();
    benchmark::DoNotOptimize(port.read(0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_PollBinaryMode);

void BM_PollTextModePiped(benchmark::State& state) {
  ChunkPort port(Lines(1024));
  std::string pattern = std::filesystem::temp_directory_path() / "kyt-bench-pipe-XXXXXX";
  char* path = pattern.data();
  int fd = mkstemp(path);
  if (fd >= 0) ::close(fd);
  port.pipe(path, state.range(0) != 0, false);
  for (auto _ : state) {
    port.poll();
    benchmark::DoNotOptimize(port.read(0));
  }
  port.unpipe();
  std::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_PollTextModePiped)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
