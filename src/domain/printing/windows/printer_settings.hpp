#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/windows/queue_papers.hpp"
#include "domain/printing/windows/spooler.hpp"

namespace vantrel {

// A DEVMODEW is its public part (dmSize) and the driver's private part (dmDriverExtra), each
// sized by a WORD.
inline constexpr int MAX_SETTINGS_BYTES = 2 * 0xFFFF;

// A queue's settings (DEVMODEW) as its driver wrote them: the few public fields the host reads
// and sets, and the rest, the driver's private part included, carried along untouched.
class PrinterSettings {
 public:
  // The queue's default settings: DocumentPropertiesW sized, then filled (DM_OUT_BUFFER).
  [[nodiscard]] static Result<PrinterSettings> read_default(Spooler& spooler,
                                                            const PrinterHandle& printer,
                                                            const std::u16string& device);

  // These settings merged by the driver into new ones (DM_IN_BUFFER | DM_OUT_BUFFER).
  [[nodiscard]] Result<PrinterSettings> merged(Spooler& spooler, const PrinterHandle& printer,
                                               const std::u16string& device) const;

  // dmPaperSize where dmFields names it.
  [[nodiscard]] std::optional<std::uint16_t> paper() const noexcept;

  // The paper (dmPaperSize) or the custom size (DMPAPER_USER, dmPaperWidth, dmPaperLength) of
  // the choice and its orientation, with what would override them (a form name, a custom size
  // over a paper) taken out.
  void select(const PaperChoice& choice) noexcept;

  [[nodiscard]] const std::byte* data() const noexcept {
    return reinterpret_cast<const std::byte*>(words_.data());
  }

 private:
  explicit PrinterSettings(int size);
  // DocumentPropertiesW into new settings of this size from `input` (null: the default).
  [[nodiscard]] static Result<PrinterSettings> fill(Spooler& spooler, const PrinterHandle& printer,
                                                    const std::u16string& device, int size,
                                                    const std::byte* input,
                                                    std::string_view failure_text);

  template <class T>
  [[nodiscard]] T field(std::size_t offset) const noexcept;
  template <class T>
  void set_field(std::size_t offset, T value) noexcept;

  std::vector<std::uint64_t> words_;  // 8-byte aligned, as the driver's structure wants
  int size_ = 0;                      // bytes, the driver's own count
};

}  // namespace vantrel
