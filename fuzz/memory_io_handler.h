// An I/O handler whose source is fuzz input: it opens without a socket, hands out at most
// `piece` bytes per receive, accepts every byte sent, and counts how often it was opened.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/net_io_handler.h"
#include "net/net_stack.h"

namespace qb::fuzz {

class MemoryIOHandler final : public TNetIOHandler {
 public:
  MemoryIOHandler(std::string_view wire, std::size_t piece) : wire_(wire), piece_(piece) {}

  void Open() override {
    TNetIOHandler::Open();
    open_ = true;
    ++opens_;
  }
  void Close() override {
    TNetIOHandler::Close();
    open_ = false;
  }
  int opens() const { return opens_; }

 protected:
  bool SourceIsAvailable() const override { return open_; }
  void CloseSource() override { open_ = false; }
  // The input is the answer, which comes once it is waited for: a look without waiting
  // finds nothing, so the request always goes out whole before the answer is read.
  bool Readable(int timeoutMs) override { return timeoutMs != 0; }
  int WaitForSource(int events, int timeoutMs) override {
    if (events & platform::kSocketWritable) return platform::kSocketWritable;
    return Readable(timeoutMs) ? platform::kSocketReadable : 0;
  }
  std::uint64_t WrittenToSource() const override { return written_; }
  long ReceiveSome(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, wire_.size()});
    std::copy_n(wire_.data(), n, buffer);
    wire_.remove_prefix(n);
    return static_cast<long>(n);
  }
  long SendSome(const char*, std::size_t count) override {
    written_ += count;
    return static_cast<long>(count);
  }
  int CheckForError(long) override { return 0; }
  [[noreturn]] void RaiseError(int error) override { TNetStack::RaiseSocketError(error); }

 private:
  std::string_view wire_;
  std::size_t piece_;
  bool open_ = false;
  int opens_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace qb::fuzz
