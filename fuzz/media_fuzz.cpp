// Media in every form the host reads: the input as a name (self-describing, CUPS' "wNhN" and
// "Custom.WxH"), and as a Windows driver's papers (a number, a size in tenths of a millimetre
// and a name each, 12 bytes and the rest of a line). Whatever is read is a size within the
// host's limits, and every name the host gives says its size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "domain/printing/cups/cups_media.hpp"
#include "domain/printing/windows/queue_papers.hpp"
#include "fake_spooler.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace vantrel;

// A name the host gives a size says that size, within a queue's matching tolerance.
void check_named(const std::string& name, MediaSize size) {
  const auto said = media_size_of_name(name);
  FUZZ_CHECK(said.has_value());
  FUZZ_CHECK(same_media_size(*said, size, MEDIA_MATCH_TOLERANCE_UM));
}

void check_read(const std::optional<MediaSize>& size) {
  if (!size) return;
  FUZZ_CHECK(within_media_limits(*size));
  check_named(media_name_of_size(*size), *size);
}

template <class T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof value ? size : sizeof value;
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

void check_papers(const std::uint8_t* data, std::size_t size) {
  fakes::FakeSpooler spooler;
  const std::u16string queue = u"Q";
  spooler.add_printer(queue);
  auto& printer = spooler.printers[queue];
  while (size >= 12 && printer.papers.size() < 64) {
    fakes::FakePaper paper;
    paper.id = take<std::uint16_t>(data, size);
    paper.width = take<std::int32_t>(data, size);
    paper.length = take<std::int32_t>(data, size);
    for (std::uint16_t units = take<std::uint16_t>(data, size) % 8; units > 0 && size > 0;
         --units) {
      paper.name.push_back(static_cast<char16_t>(take<std::uint8_t>(data, size)));
    }
    printer.papers.push_back(std::move(paper));
  }
  printer.values[CAPABILITY_FIELDS] = 0xC;
  printer.values[CAPABILITY_MIN_EXTENT] = take<std::int32_t>(data, size);
  printer.values[CAPABILITY_MAX_EXTENT] = take<std::int32_t>(data, size);

  const auto papers = read_queue_papers(spooler, queue);
  if (!papers) return;
  const QueueMedia media = media_of_papers(*papers);
  FUZZ_CHECK(media.of_paper.size() == papers->size());
  std::set<std::string> names;
  for (const PrinterMedia& one : media.media) {
    FUZZ_CHECK(within_media_limits(one.size));
    check_named(one.name, one.size);
    names.insert(one.name);
  }
  for (const auto& index : media.of_paper) FUZZ_CHECK(!index || *index < media.media.size());
  if (const auto range = read_custom_range(spooler, queue, *papers)) {
    FUZZ_CHECK(within_media_limits(range->smallest) && within_media_limits(range->largest));
  }
  // Each listed media selects a paper of its size.
  for (const PrinterMedia& one : media.media) {
    const auto choice = choose_paper(spooler, queue, *papers, MediaRequest{one.name, one.size});
    FUZZ_CHECK(choice && choice->paper);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_read(media_size_of_name(text));
  check_read(size_of_cups_media_name(text));
  check_papers(data, size);
  return 0;
}
