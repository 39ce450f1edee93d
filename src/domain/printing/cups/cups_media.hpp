#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/printing/cups/cups_calls.hpp"
#include "domain/printing/media.hpp"
#include "domain/printing/print_outcome.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// The CUPS media decision, in one place: which media a queue offers under which names, what a
// job without media prints on (the user's lpoptions media, else the scheduler's default), and
// the page of a job that names one. The print system only asks and sends.

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

// What a queue offers, from one Get-Printer-Attributes answer.
struct CupsQueueMedia {
  // media-col-database, each paper once under the name a job selects it by.
  std::vector<CupsMedia> offered;
  // media-supported's custom_min_ and custom_max_ sizes; nullopt without both.
  std::optional<MediaRange> custom_range;
};

// The media of "media-col-database", named by media-supported. A media-col is named by its own
// media-size-name or media-key where that is a self-describing name; else the supported names
// of its size (within MEDIA_MATCH_TOLERANCE_UM, nearest first) are given out in the answer's
// order, one per paper: CUPS lists both attributes in its PPD's order, so that of two papers of
// one size (4x6 in edge to edge and with margins) each keeps its own name and margins. A
// media-col of a size and margins already listed is the same paper (an IPP printer lists one
// per source and type); one for which no name is left is left out, as nothing can select it.
[[nodiscard]] CupsQueueMedia queue_media(const IppAttributes& queue);

// The size a media name of CUPS says, read by the host itself: a self-describing name, a PPD's
// "w<width>h<length>" in points, or "Custom.<width>x<length>" in points, "in", "cm", "mm" or
// "m"; nullopt for any other name and for a size outside the host's limits.
[[nodiscard]] std::optional<MediaSize> size_of_cups_media_name(std::string_view name) noexcept;

// As size_of_cups_media_name, then libcups' tables of PWG, PPD and legacy names ("Letter",
// "4x6"), whose sizes are held to the same limits.
[[nodiscard]] std::optional<MediaSize> size_of_user_media(CupsCalls& calls, std::string_view name);

// The "media" of the user's lpoptions for the queue ("" for none); option names ignore case
// and the last one given wins, as in libcups.
[[nodiscard]] std::string user_media_name(const std::vector<CupsOption>& options);

// The user's lpoptions media: its name and the size it says (nullopt when it says none the host
// can read, which refuses a job without media rather than print it on another paper).
struct UserMedia {
  std::string name;
  std::optional<MediaSize> size;
};

// The page a job without media prints on: the user's media under its own name, with the margins
// of the queue's media of that name, else of the nearest of its size; without one, the queue's
// media-col-default named by media-default. nullopt when neither tells a size.
[[nodiscard]] std::optional<CupsMedia> media_without_request(const IppAttributes& queue,
                                                             const std::vector<CupsMedia>& offered,
                                                             const std::optional<UserMedia>& user);

// The name the offered media list gives `media`: its own where the list has it at that size, else
// that of the nearest of its size; a media the list lacks is added to it, under its own name
// where that is self-describing, else under media_name_of_size.
std::string listed_name(std::vector<CupsMedia>& offered, CupsMedia media);

// The page a job prints on when it asks for `request`: the queue's media of the requested name,
// else the nearest of its size, else the nearest of the turned size, used turned, else the size
// itself where the custom range holds it ("Custom.<w>x<h>mm", margins not known). The job names
// it by the queue's name for it; the page is what the queue gives that name, in the requested
// orientation, with the margins of a turned media on both sides (which way the scheduler turns
// the page is its own choice). Refused with media_not_offered, or with media_not_applied where
// that page is more than MEDIA_PAGE_TOLERANCE_UM away from the request.
[[nodiscard]] std::expected<CupsMedia, PrintFailure> page_for_request(const CupsQueueMedia& queue,
                                                                      const MediaRequest& request);

[[nodiscard]] MediaSize size_of(const CupsMedia& media) noexcept;

[[nodiscard]] PrinterMedia printer_media_of(const CupsMedia& media);

}  // namespace vantrel
