#include "domain/printing/windows/queue_papers.hpp"

#include <algorithm>
#include <cstring>
#include <expected>
#include <string_view>

#include "base/os_error.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_TENTH_MM = 100;
// A custom size goes to the driver as two shorts of tenths of a millimetre.
constexpr std::int32_t LARGEST_CUSTOM_UM = 32767 * UM_PER_TENTH_MM;
// DEVMODE fields a driver names in DC_FIELDS when it takes a custom size.
constexpr int TAKES_PAPER_LENGTH_AND_WIDTH = 0x4 | 0x8;  // DM_PAPERLENGTH | DM_PAPERWIDTH
constexpr std::uint16_t PAPER_USER = 256;                // DMPAPER_USER

struct DriverList {
  SpoolerBuffer records{0};
  int count = 0;
};

// A list capability: counted, then filled into a buffer of that count. Fails with the failed
// call's reply, or with a reply of that count when the driver counts more than `limit` or fills
// more than it counted (the buffer would already have been overrun).
std::expected<DriverList, SpoolerValue> read_list(Spooler& spooler, const std::u16string& device,
                                                  std::uint16_t capability,
                                                  std::uint32_t record_bytes, int limit) {
  const SpoolerValue counted = spooler.device_capabilities(device, capability, nullptr);
  if (counted.value < 0 || counted.value > limit) return std::unexpected(counted);
  DriverList list;
  if (counted.value == 0) return list;
  list.records = SpoolerBuffer(static_cast<std::uint32_t>(counted.value) * record_bytes);
  const SpoolerValue filled = spooler.device_capabilities(device, capability, list.records.data());
  if (filled.value < 0 || filled.value > counted.value) return std::unexpected(filled);
  list.count = filled.value;
  return list;
}

template <class T>
T record_at(const DriverList& list, std::size_t offset) {
  T value;
  std::memcpy(&value, list.records.data() + offset, sizeof value);
  return value;
}

// A NUL-padded name of 64 units, which may fill all of them.
std::u16string name_at(const DriverList& list, int index) {
  const auto* units =
      reinterpret_cast<const char16_t*>(list.records.data() + index * PAPER_NAME_BYTES);
  const std::u16string_view name(units, PAPER_NAME_UNITS);
  return std::u16string(name.substr(0, name.find(u'\0')));
}

HostError papers_error(const SpoolerValue& reply) {
  if (reply.value < 0) {
    return {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
            os_error_message("Windows could not list the papers of the selected print queue",
                             reply.last_error)};
  }
  return {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
          "Windows listed " + std::to_string(reply.value) +
              " papers for the selected print queue, more than it can have."};
}

// A driver's paper extent (DC_MINEXTENT, DC_MAXEXTENT): the width in the low word and the
// length in the high word, in tenths of a millimetre; nullopt when it does not tell one.
std::optional<MediaSize> extent(Spooler& spooler, const std::u16string& device,
                                std::uint16_t capability) {
  const SpoolerValue reply = spooler.device_capabilities(device, capability, nullptr);
  if (reply.value <= 0) return std::nullopt;
  const auto packed = static_cast<std::uint32_t>(reply.value);
  return MediaSize{static_cast<std::int32_t>(packed & 0xFFFF) * UM_PER_TENTH_MM,
                   static_cast<std::int32_t>(packed >> 16) * UM_PER_TENTH_MM};
}

}  // namespace

Result<std::vector<QueuePaper>> read_queue_papers(Spooler& spooler, const std::u16string& device) {
  const auto ids = read_list(spooler, device, CAPABILITY_PAPERS, PAPER_ID_BYTES, MAX_DRIVER_PAPERS);
  if (!ids) return std::unexpected(papers_error(ids.error()));
  const auto sizes =
      read_list(spooler, device, CAPABILITY_PAPER_SIZES, PAPER_SIZE_BYTES, MAX_DRIVER_PAPERS);
  if (!sizes) return std::unexpected(papers_error(sizes.error()));
  // The names tell papers of one size apart and which are loaded; a driver without them still
  // has its papers.
  const auto paper_names =
      read_list(spooler, device, CAPABILITY_PAPER_NAMES, PAPER_NAME_BYTES, MAX_DRIVER_PAPERS);

  std::vector<QueuePaper> papers(static_cast<std::size_t>(std::min(ids->count, sizes->count)));
  for (std::size_t i = 0; i < papers.size(); ++i) {
    papers[i].id = record_at<std::uint16_t>(*ids, i * PAPER_ID_BYTES);
    const auto width = record_at<std::int32_t>(*sizes, i * PAPER_SIZE_BYTES);
    const auto length = record_at<std::int32_t>(*sizes, i * PAPER_SIZE_BYTES + 4);
    // A size outside the host's limits is no paper either.
    if (const auto size = media_size_of(width, length, UM_PER_TENTH_MM)) papers[i].size = *size;
    if (paper_names && static_cast<int>(i) < paper_names->count) {
      papers[i].name = name_at(*paper_names, static_cast<int>(i));
    }
  }
  return papers;
}

QueueMedia media_of_papers(const std::vector<QueuePaper>& papers) {
  QueueMedia out;
  out.of_paper.resize(papers.size());
  std::vector<std::uint16_t> first_paper;  // per media: the number of the paper that made it
  const auto index_of = [&](auto predicate) -> std::optional<std::size_t> {
    for (std::size_t m = 0; m < out.media.size(); ++m) {
      if (predicate(m)) return m;
    }
    return std::nullopt;
  };
  for (std::size_t i = 0; i < papers.size(); ++i) {
    const QueuePaper& paper = papers[i];
    if (paper.size.width_um <= 0) continue;
    std::string name = media_name_of_size(paper.size);
    const auto same_size = index_of([&](std::size_t m) {
      return same_media_size(out.media[m].size, paper.size, MEDIA_MATCH_TOLERANCE_UM);
    });
    std::optional<std::size_t> same = same_size;
    if (same_size && first_paper[*same_size] != paper.id) {
      // Another paper of a size already listed: a media of its own name.
      const auto taken = [&](const std::string& candidate) {
        return candidate.empty() ||
               index_of([&](std::size_t m) { return out.media[m].name == candidate; });
      };
      name = media_name_of_paper(utf16_to_utf8(paper.name), paper.size);
      if (taken(name)) {
        name = media_name_of_paper("paper " + std::to_string(paper.id), paper.size);
      }
      same = taken(name) ? same_size : std::nullopt;
    } else if (!same_size) {
      same = index_of([&](std::size_t m) { return out.media[m].name == name; });
    }
    if (!same) {
      out.media.push_back(PrinterMedia{std::move(name), paper.size, std::nullopt});
      first_paper.push_back(paper.id);
      same = out.media.size() - 1;
    }
    out.of_paper[i] = same;
  }
  return out;
}

std::vector<Resolution> read_resolutions(Spooler& spooler, const std::u16string& device) {
  const auto list =
      read_list(spooler, device, CAPABILITY_RESOLUTIONS, RESOLUTION_BYTES, MAX_DRIVER_RESOLUTIONS);
  std::vector<Resolution> resolutions;
  if (!list) return resolutions;
  for (int i = 0; i < list->count; ++i) {
    const Resolution resolution{record_at<std::int32_t>(*list, i * RESOLUTION_BYTES),
                                record_at<std::int32_t>(*list, i * RESOLUTION_BYTES + 4)};
    if (resolution.x_dpi > 0 && resolution.y_dpi > 0 &&
        std::ranges::find(resolutions, resolution) == resolutions.end()) {
      resolutions.push_back(resolution);
    }
  }
  return resolutions;
}

std::vector<std::string> read_ready_media(Spooler& spooler, const std::u16string& device,
                                          const std::vector<QueuePaper>& papers,
                                          const QueueMedia& media) {
  const auto list =
      read_list(spooler, device, CAPABILITY_MEDIA_READY, PAPER_NAME_BYTES, MAX_DRIVER_PAPERS);
  std::vector<std::string> ready;
  if (!list) return ready;
  for (int i = 0; i < list->count; ++i) {
    const std::u16string name = name_at(*list, i);
    const auto paper = std::ranges::find(papers, name, &QueuePaper::name);
    if (name.empty() || paper == papers.end()) continue;
    const auto index = media.of_paper[static_cast<std::size_t>(paper - papers.begin())];
    if (!index) continue;
    const std::string& media_name = media.media[*index].name;
    if (std::ranges::find(ready, media_name) == ready.end()) ready.push_back(media_name);
  }
  return ready;
}

std::optional<MediaRange> read_custom_range(Spooler& spooler, const std::u16string& device,
                                            const std::vector<QueuePaper>& papers) {
  if (std::ranges::find(papers, PAPER_USER, &QueuePaper::id) == papers.end()) return std::nullopt;
  const SpoolerValue fields = spooler.device_capabilities(device, CAPABILITY_FIELDS, nullptr);
  if (fields.value < 0 ||
      (fields.value & TAKES_PAPER_LENGTH_AND_WIDTH) != TAKES_PAPER_LENGTH_AND_WIDTH) {
    return std::nullopt;
  }
  const auto smallest = extent(spooler, device, CAPABILITY_MIN_EXTENT);
  const auto largest = extent(spooler, device, CAPABILITY_MAX_EXTENT);
  if (!smallest || !largest || !within_media_limits(*smallest) || !within_media_limits(*largest) ||
      smallest->width_um > largest->width_um || smallest->height_um > largest->height_um) {
    return std::nullopt;
  }
  // The span of the papers, in the driver's portrait terms.
  std::optional<MediaRange> span;
  for (const QueuePaper& paper : papers) {
    if (paper.size.width_um <= 0) continue;
    if (!span) span = MediaRange{paper.size, paper.size};
    span->smallest = {std::min(span->smallest.width_um, paper.size.width_um),
                      std::min(span->smallest.height_um, paper.size.height_um)};
    span->largest = {std::max(span->largest.width_um, paper.size.width_um),
                     std::max(span->largest.height_um, paper.size.height_um)};
  }
  const MediaRange range{*smallest,
                         {std::min(largest->width_um, LARGEST_CUSTOM_UM),
                          std::min(largest->height_um, LARGEST_CUSTOM_UM)}};
  if (range.smallest.width_um > range.largest.width_um ||
      range.smallest.height_um > range.largest.height_um ||
      (span && range_holds(span, range.smallest) && range_holds(span, range.largest))) {
    return std::nullopt;
  }
  return range;
}

std::optional<PaperChoice> choose_paper(Spooler& spooler, const std::u16string& device,
                                        const std::vector<QueuePaper>& papers,
                                        const MediaRequest& media) {
  const QueueMedia listed = media_of_papers(papers);
  for (std::size_t i = 0; i < papers.size(); ++i) {
    const auto index = listed.of_paper[i];
    if (index && listed.media[*index].name == media.name) {
      return PaperChoice{papers[i].id, {}, false};
    }
  }
  for (const bool landscape : {false, true}) {
    const QueuePaper* paper = nearest_of_size(papers, landscape ? turned(media.size) : media.size,
                                              [](const QueuePaper& paper) { return paper.size; });
    if (paper) return PaperChoice{paper->id, {}, landscape};
  }
  if (!range_holds(read_custom_range(spooler, device, papers), media.size)) return std::nullopt;
  return PaperChoice{std::nullopt, media.size, false};
}

}  // namespace vantrel
