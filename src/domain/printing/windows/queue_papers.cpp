#include "domain/printing/windows/queue_papers.hpp"

#include <algorithm>
#include <cstring>
#include <expected>
#include <string_view>

#include "base/os_error.hpp"

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_TENTH_MM = 100;
// A custom size goes to the driver as two shorts of tenths of a millimetre.
constexpr std::int32_t LARGEST_CUSTOM_UM = 32767 * UM_PER_TENTH_MM;
// DEVMODE fields a driver names in DC_FIELDS when it takes a custom size.
constexpr int TAKES_PAPER_LENGTH_AND_WIDTH = 0x4 | 0x8;  // DM_PAPERLENGTH | DM_PAPERWIDTH

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

Result<std::vector<QueuePaper>> read_queue_papers(Spooler& spooler, const std::u16string& device,
                                                  bool names) {
  const auto ids = read_list(spooler, device, CAPABILITY_PAPERS, PAPER_ID_BYTES, MAX_DRIVER_PAPERS);
  if (!ids) return std::unexpected(papers_error(ids.error()));
  const auto sizes =
      read_list(spooler, device, CAPABILITY_PAPER_SIZES, PAPER_SIZE_BYTES, MAX_DRIVER_PAPERS);
  if (!sizes) return std::unexpected(papers_error(sizes.error()));
  // The names only tell which media are loaded: a driver without them still has its papers.
  std::expected<DriverList, SpoolerValue> paper_names = DriverList{};
  if (names) {
    paper_names =
        read_list(spooler, device, CAPABILITY_PAPER_NAMES, PAPER_NAME_BYTES, MAX_DRIVER_PAPERS);
  }

  std::vector<QueuePaper> papers(static_cast<std::size_t>(std::min(ids->count, sizes->count)));
  for (std::size_t i = 0; i < papers.size(); ++i) {
    papers[i].id = record_at<std::uint16_t>(*ids, i * PAPER_ID_BYTES);
    const auto width = record_at<std::int32_t>(*sizes, i * PAPER_SIZE_BYTES);
    const auto length = record_at<std::int32_t>(*sizes, i * PAPER_SIZE_BYTES + 4);
    // A size beyond what micrometres hold in 32 bits is no paper either.
    if (width > 0 && length > 0 && width <= INT32_MAX / UM_PER_TENTH_MM &&
        length <= INT32_MAX / UM_PER_TENTH_MM) {
      papers[i].size = {width * UM_PER_TENTH_MM, length * UM_PER_TENTH_MM};
    }
    if (paper_names && static_cast<int>(i) < paper_names->count) {
      papers[i].name = name_at(*paper_names, static_cast<int>(i));
    }
  }
  return papers;
}

QueueMedia media_of_papers(const std::vector<QueuePaper>& papers) {
  QueueMedia out;
  out.of_paper.resize(papers.size());
  for (std::size_t i = 0; i < papers.size(); ++i) {
    const MediaSize size = papers[i].size;
    if (size.width_um <= 0) continue;
    std::string name = media_name_of_size(size);
    const auto same = std::ranges::find_if(out.media, [&](const PrinterMedia& media) {
      return media.name == name || same_media_size(media.size, size, MEDIA_MATCH_TOLERANCE_UM);
    });
    if (same == out.media.end()) {
      out.media.push_back(PrinterMedia{std::move(name), size, std::nullopt});
      out.of_paper[i] = out.media.size() - 1;
    } else {
      out.of_paper[i] = static_cast<std::size_t>(same - out.media.begin());
    }
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

std::optional<PaperChoice> choose_paper(Spooler& spooler, const std::u16string& device,
                                        const std::vector<QueuePaper>& papers, MediaSize media) {
  for (const bool landscape : {false, true}) {
    const QueuePaper* paper = nearest_of_size(papers, landscape ? turned(media) : media,
                                              [](const QueuePaper& paper) { return paper.size; });
    if (paper) return PaperChoice{paper->id, {}, landscape};
  }
  const SpoolerValue fields = spooler.device_capabilities(device, CAPABILITY_FIELDS, nullptr);
  if (fields.value < 0 ||
      (fields.value & TAKES_PAPER_LENGTH_AND_WIDTH) != TAKES_PAPER_LENGTH_AND_WIDTH) {
    return std::nullopt;
  }
  const auto smallest = extent(spooler, device, CAPABILITY_MIN_EXTENT);
  const auto largest = extent(spooler, device, CAPABILITY_MAX_EXTENT);
  if (!smallest || !largest) return std::nullopt;
  const auto within = [&](std::int32_t um, std::int32_t low, std::int32_t high) {
    return um + MEDIA_MATCH_TOLERANCE_UM >= low && um - MEDIA_MATCH_TOLERANCE_UM <= high;
  };
  if (!within(media.width_um, smallest->width_um, largest->width_um) ||
      !within(media.height_um, smallest->height_um, largest->height_um) ||
      std::max(media.width_um, media.height_um) > LARGEST_CUSTOM_UM) {
    return std::nullopt;
  }
  return PaperChoice{std::nullopt, media, false};
}

}  // namespace vantrel
