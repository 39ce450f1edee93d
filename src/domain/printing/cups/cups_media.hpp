#pragma once

#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "domain/printing/cups/cups_calls.hpp"
#include "domain/printing/media.hpp"
#include "domain/printing/print_outcome.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// One media of a CUPS queue in IPP's hundredths of a millimetre: its size and margins, and the
// name a job's "media" selects it by.
struct CupsMedia {
  std::string name;
  int width = 0;
  int length = 0;
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
  bool margins_known = false;  // all four margins were given
};

// The self-describing names of a queue's "media-supported" with the sizes they say.
using SupportedMediaNames = std::vector<std::pair<std::string, MediaSize>>;

[[nodiscard]] SupportedMediaNames supported_media_names(const IppAttributes& queue);

// A media-col value: its media-size and margins, named by its own media-size-name or media-key
// where that is a self-describing name, else by the supported name nearest its size (within
// MEDIA_MATCH_TOLERANCE_UM), else by media_name_of_size. nullopt without a media-size.
[[nodiscard]] std::optional<CupsMedia> named_media_of_col(const IppCollection& col,
                                                          const SupportedMediaNames& names);

// The media-col values of one attribute ("media-col-database"), named, in the answer's order;
// two of one size and name are one, the first.
[[nodiscard]] std::vector<CupsMedia> named_media(const IppAttributes& queue,
                                                 std::string_view attribute,
                                                 const SupportedMediaNames& names);

[[nodiscard]] MediaSize size_of(const CupsMedia& media) noexcept;
// A media of that size and name, its margins not known.
[[nodiscard]] CupsMedia media_of_size(std::string name, MediaSize size);

// The offered media nearest `size` within MEDIA_MATCH_TOLERANCE_UM, as it stands; nullptr for none.
[[nodiscard]] const CupsMedia* nearest_media(const std::vector<CupsMedia>& offered, MediaSize size);

// The name the offered media list gives `media`: its own where the list has it at that size, else
// that of the nearest of its size; a media the list lacks is added to it.
std::string listed_name(std::vector<CupsMedia>& offered, CupsMedia media);

// The page a job prints on when it asks for `request`, from the queue's offered media: the media
// of the requested name, else the nearest of its size, else the nearest of the turned size, used
// turned. The job names it by the queue's name for it; the page is what the queue gives that name
// (the first media of it), in the requested orientation, with the margins of a turned media on
// both sides (which way the scheduler turns the page is its own choice). Refused with
// media_not_offered, or with media_not_applied where that page is more than
// MEDIA_PAGE_TOLERANCE_UM away from the request.
[[nodiscard]] std::expected<CupsMedia, PrintFailure> page_for_request(
    const std::vector<CupsMedia>& offered, const MediaRequest& request);

[[nodiscard]] PrinterMedia printer_media_of(const CupsMedia& media);

}  // namespace vantrel
