#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fault_plan.hpp"
#include "protocol/channel.hpp"

namespace vantrel::fakes {

inline std::string frame(std::string_view body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string out{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                  static_cast<char>(n >> 24)};
  out += body;
  return out;
}

// Reports a planned stream failure that never fired (see FaultPlan).
inline void report_unfired_stream_fault(bool planned, bool fired, const char* what) {
  if (planned && !fired && FaultPlan::report_unfired != nullptr) FaultPlan::report_unfired(what);
}

// Standard input in memory; each read hands out at most chunk bytes, and a read error can be
// scripted at a byte offset (and must fire).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes, std::size_t chunk = SIZE_MAX)
      : bytes_(std::move(bytes)), chunk_(chunk) {}
  MemorySource(const MemorySource&) = delete;
  MemorySource& operator=(const MemorySource&) = delete;
  ~MemorySource() override {
    report_unfired_stream_fault(fail_at != SIZE_MAX, failed_, "planned read failure never fired");
  }

  std::size_t fail_at = SIZE_MAX;
  std::uint32_t fail_code = 0;
  std::size_t reads = 0;
  std::size_t largest_request = 0;

  std::expected<std::size_t, StreamFailure> read(std::span<std::uint8_t> buffer) override {
    ++reads;
    largest_request = std::max(largest_request, buffer.size());
    if (offset_ >= fail_at) {
      failed_ = true;
      return std::unexpected(StreamFailure{fail_code});
    }
    const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - offset_});
    std::copy_n(bytes_.data() + offset_, n, buffer.data());
    offset_ += n;
    return n;
  }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};

// Standard output in memory; writes can be scripted to fail after some bytes (and must fail).
class MemorySink final : public ByteSink {
 public:
  MemorySink() = default;
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  ~MemorySink() override {
    report_unfired_stream_fault(fail_after != SIZE_MAX || failed_, failed_,
                                "planned write failure never fired");
  }

  std::string bytes;
  std::size_t flushes = 0;
  std::size_t chunk = SIZE_MAX;
  std::size_t fail_after = SIZE_MAX;  // bytes accepted before writes fail
  std::uint32_t fail_code = 232;

  std::expected<std::size_t, StreamFailure> write(std::span<const std::uint8_t> data) override {
    if (bytes.size() >= fail_after) {
      failed_ = true;
      return std::unexpected(StreamFailure{fail_code});
    }
    const std::size_t n = std::min(data.size(), chunk);
    bytes.append(reinterpret_cast<const char*>(data.data()), n);
    return n;
  }
  std::expected<void, StreamFailure> flush() override {
    ++flushes;
    return {};
  }

  // Splits what was written back into frame bodies.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos + 4 <= bytes.size()) {
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
      const std::size_t n = p[0] | (p[1] << 8) | (p[2] << 16) | (std::size_t{p[3]} << 24);
      out.push_back(bytes.substr(pos + 4, n));
      pos += 4 + n;
    }
    return out;
  }

 private:
  bool failed_ = false;
};

}  // namespace vantrel::fakes
