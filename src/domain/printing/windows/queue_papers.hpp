#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/media.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/printing/windows/spooler.hpp"

namespace vantrel {

// The most records taken from one of a driver's lists. DeviceCapabilitiesW fills a buffer of
// the count it gave before, with no size to stop it, so a count above these is not trusted.
inline constexpr int MAX_DRIVER_PAPERS = 4096;
inline constexpr int MAX_DRIVER_RESOLUTIONS = 256;

// One paper of a queue as its driver lists it.
struct QueuePaper {
  std::uint16_t id = 0;  // DMPAPER_* or the driver's own
  MediaSize size;        // portrait, from the driver's tenths of a millimetre
  std::u16string name;   // the driver's name for it; empty where it tells none
};

// The queue's papers (DC_PAPERS, DC_PAPERSIZE, DC_PAPERNAMES). A failed or implausible list of
// numbers or sizes is PRE_SUBMIT_UNAVAILABLE: media are made of it.
[[nodiscard]] Result<std::vector<QueuePaper>> read_queue_papers(Spooler& spooler,
                                                                const std::u16string& device);

// The media of a queue's papers, none for a paper of no size. Each paper is its own media, named
// by its size (media_name_of_size); another paper of a size already named (4x6 in edge to edge
// and with margins) by its own name (media_name_of_paper, its number where its name says
// nothing), so that each can be selected. Papers of one name and differing sizes, or of one
// number and size, are one media. of_paper[i] is the index in media of paper i's media.
struct QueueMedia {
  std::vector<PrinterMedia> media;
  std::vector<std::optional<std::size_t>> of_paper;
};
[[nodiscard]] QueueMedia media_of_papers(const std::vector<QueuePaper>& papers);

// DC_ENUMRESOLUTIONS; empty when the driver does not tell them.
[[nodiscard]] std::vector<Resolution> read_resolutions(Spooler& spooler,
                                                       const std::u16string& device);

// The media of the papers loaded now (DC_MEDIAREADY names matched to DC_PAPERNAMES); empty when
// the driver does not tell them.
[[nodiscard]] std::vector<std::string> read_ready_media(Spooler& spooler,
                                                        const std::u16string& device,
                                                        const std::vector<QueuePaper>& papers,
                                                        const QueueMedia& media);

// How a media is selected: a paper of the queue, turned or not, or a custom size.
struct PaperChoice {
  std::optional<std::uint16_t> paper;  // nullopt: the custom size
  MediaSize custom;
  bool landscape = false;

  bool operator==(const PaperChoice&) const = default;
};

// The sizes the driver takes beyond its papers, where it tells them: it offers a custom paper
// (DMPAPER_USER among its papers and dmPaperWidth and dmPaperLength among its DC_FIELDS) and its
// extents (DC_MINEXTENT, DC_MAXEXTENT) reach beyond the span of its papers. A driver without
// custom sizes reports that span, as Wine's does, claiming the fields all the same: nullopt.
[[nodiscard]] std::optional<MediaRange> read_custom_range(Spooler& spooler,
                                                          const std::u16string& device,
                                                          const std::vector<QueuePaper>& papers);

// The paper of the requested media's name, else the queue's paper nearest its size, else one of
// its turned size printed landscape, else the size as a custom one where the custom range holds
// it; nullopt when the queue offers none of these.
[[nodiscard]] std::optional<PaperChoice> choose_paper(Spooler& spooler,
                                                      const std::u16string& device,
                                                      const std::vector<QueuePaper>& papers,
                                                      const MediaRequest& media);

}  // namespace vantrel
