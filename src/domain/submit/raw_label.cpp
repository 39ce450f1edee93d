#include "domain/submit/raw_label.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "base/text.hpp"
#include "domain/submit/base64.hpp"

namespace vantrel {
namespace {

// ---- the commands that change the printer beyond the job

// How a command of the table is judged: always refused, or refused unless the object it stores
// or deletes lives in the printer's memory for the job ("R:", cleared at power-off). Without a
// device the object goes to R:.
enum class Refusal : std::uint8_t { always, outside_job_memory };

struct SettingsCommand {
  RawLanguage language;
  // ZPL: the prefix ("^" format, "~" control) and the two letters; EPL: how the line begins.
  std::string_view name;
  Refusal refusal;
};

// From the languages' programming guides: saving, restoring and resetting settings, factory
// and network defaults, calibration, the device's identity, network and serial setup, its
// clock, programs run on it, and writes to or deletes from its non-volatile storage.
constexpr std::array<SettingsCommand, 62> SETTINGS_COMMANDS{{
    // ZPL: configuration update (save, factory, network defaults, recall), resets, memory
    {RawLanguage::zpl, "^JU", Refusal::always},
    {RawLanguage::zpl, "~JR", Refusal::always},  // power-on reset
    {RawLanguage::zpl, "~RO", Refusal::always},  // reset advanced counters
    {RawLanguage::zpl, "^JB", Refusal::always},  // initialise flash memory
    {RawLanguage::zpl, "~JB", Refusal::always},  // reset optional memory
    {RawLanguage::zpl, "^CM", Refusal::always},  // change memory letter designations
    // calibration and sensors
    {RawLanguage::zpl, "~JC", Refusal::always},  // set media sensor calibration
    {RawLanguage::zpl, "~JG", Refusal::always},  // graphing sensor calibration
    {RawLanguage::zpl, "~JL", Refusal::always},  // set label length by calibration
    {RawLanguage::zpl, "^SS", Refusal::always},  // set media sensors
    {RawLanguage::zpl, "^SR", Refusal::always},  // set printhead resistance
    // identity, protection, clock, serial port
    {RawLanguage::zpl, "^KN", Refusal::always},  // printer name
    {RawLanguage::zpl, "^KP", Refusal::always},  // define password
    {RawLanguage::zpl, "^KL", Refusal::always},  // define language
    {RawLanguage::zpl, "^KC", Refusal::always},  // set client identifier
    {RawLanguage::zpl, "^MP", Refusal::always},  // mode protection
    {RawLanguage::zpl, "^ST", Refusal::always},  // set date and time
    {RawLanguage::zpl, "^SL", Refusal::always},  // set mode and language of the clock
    {RawLanguage::zpl, "^SC", Refusal::always},  // set serial communications
    // wired and wireless network settings
    {RawLanguage::zpl, "^NB", Refusal::always},
    {RawLanguage::zpl, "^NC", Refusal::always},
    {RawLanguage::zpl, "^ND", Refusal::always},
    {RawLanguage::zpl, "^NI", Refusal::always},
    {RawLanguage::zpl, "^NN", Refusal::always},
    {RawLanguage::zpl, "^NP", Refusal::always},
    {RawLanguage::zpl, "^NS", Refusal::always},
    {RawLanguage::zpl, "^NT", Refusal::always},
    {RawLanguage::zpl, "^NW", Refusal::always},
    {RawLanguage::zpl, "~NR", Refusal::always},
    {RawLanguage::zpl, "^WA", Refusal::always},
    {RawLanguage::zpl, "^WE", Refusal::always},
    {RawLanguage::zpl, "^WI", Refusal::always},
    {RawLanguage::zpl, "^WL", Refusal::always},
    {RawLanguage::zpl, "^WP", Refusal::always},
    {RawLanguage::zpl, "^WR", Refusal::always},
    {RawLanguage::zpl, "^WS", Refusal::always},
    {RawLanguage::zpl, "^WX", Refusal::always},
    {RawLanguage::zpl, "~WR", Refusal::always},  // reset the wireless card
    // programs: the printer's interpreter
    {RawLanguage::zpl, "^JI", Refusal::always},
    {RawLanguage::zpl, "~JI", Refusal::always},
    // downloads (fonts, graphics, objects, firmware-sized files), stored formats and images,
    // deletes
    {RawLanguage::zpl, "~DY", Refusal::outside_job_memory},
    {RawLanguage::zpl, "~DG", Refusal::outside_job_memory},
    {RawLanguage::zpl, "~DB", Refusal::outside_job_memory},
    {RawLanguage::zpl, "~DT", Refusal::outside_job_memory},
    {RawLanguage::zpl, "~DU", Refusal::outside_job_memory},
    {RawLanguage::zpl, "~DS", Refusal::outside_job_memory},
    {RawLanguage::zpl, "^DF", Refusal::outside_job_memory},
    {RawLanguage::zpl, "^IS", Refusal::outside_job_memory},
    {RawLanguage::zpl, "^ID", Refusal::outside_job_memory},
    {RawLanguage::zpl, "^TO", Refusal::outside_job_memory},  // transfer object
    // EPL: factory defaults, reset, AutoSense calibration, serial port, clock, stored forms,
    // graphics and soft fonts (all in flash) and their deletion, the form run at power-up
    {RawLanguage::epl, "^default", Refusal::always},
    {RawLanguage::epl, "^@", Refusal::always},
    {RawLanguage::epl, "xa", Refusal::always},
    {RawLanguage::epl, "Y", Refusal::always},
    {RawLanguage::epl, "TS", Refusal::always},
    {RawLanguage::epl, "FS", Refusal::always},
    {RawLanguage::epl, "FK", Refusal::always},
    {RawLanguage::epl, "GM", Refusal::always},
    {RawLanguage::epl, "GK", Refusal::always},
    {RawLanguage::epl, "ES", Refusal::always},
    {RawLanguage::epl, "EK", Refusal::always},
    {RawLanguage::epl, "AUTOFR", Refusal::always},
}};

const SettingsCommand* settings_row(RawLanguage language, std::string_view name) {
  const auto found = std::ranges::find_if(SETTINGS_COMMANDS, [&](const SettingsCommand& row) {
    return row.language == language && row.name == name;
  });
  return found == SETTINGS_COMMANDS.end() ? nullptr : &*found;
}

// ---- numbers and units

constexpr double UM_PER_INCH = 25'400.0;
constexpr double UM_PER_MM = 1'000.0;
// Beyond any label: keeps every product in range.
constexpr double NUMBER_LIMIT = 1e9;
constexpr std::uint64_t LABEL_COUNT_LIMIT = 1'000'000'000'000ULL;

char upper(std::uint8_t c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
}

bool is_digit(std::uint8_t c) noexcept {
  return c >= '0' && c <= '9';
}

// A non-negative decimal at the start of the text, spaces before it allowed.
std::optional<double> leading_number(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && text[at] == ' ') ++at;
  double value = 0;
  bool any = false;
  for (; at < text.size() && is_digit(static_cast<std::uint8_t>(text[at])); ++at) {
    value = std::min(value * 10 + (text[at] - '0'), NUMBER_LIMIT);
    any = true;
  }
  if (at < text.size() && text[at] == '.') {
    double scale = 0.1;
    for (++at; at < text.size() && is_digit(static_cast<std::uint8_t>(text[at])); ++at) {
      value += (text[at] - '0') * scale;
      scale /= 10;
      any = true;
    }
  }
  return any ? std::optional(value) : std::nullopt;
}

std::int32_t whole_um(double um) noexcept {
  return static_cast<std::int32_t>(std::clamp(std::lround(um), 0L, long{INT32_MAX}));
}

void keep_larger(std::optional<std::int32_t>& kept, std::int32_t um) {
  if (!kept || um > *kept) kept = um;
}

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Set-Get-Do lines ("! U1 setvar ...", "! U1 do ...") reach the device's settings in either
// language; "getvar" only reads. Returns the command's name, or "" for none at `at` ("!").
std::string set_get_do_command(std::string_view text, std::size_t at) {
  std::size_t i = at + 1;
  const auto skip_spaces = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skip_spaces();
  if (i >= text.size() || upper(static_cast<std::uint8_t>(text[i])) != 'U') return {};
  ++i;
  if (i < text.size() && text[i] == '1') ++i;
  if (i >= text.size() || text[i] != ' ') return {};
  skip_spaces();
  for (const std::string_view word : {"setvar", "do"}) {
    if (text.size() - i >= word.size() + 1 &&
        std::ranges::equal(
            text.substr(i, word.size()), word, {},
            [](char c) { return upper(static_cast<std::uint8_t>(c)); },
            [](char c) { return upper(static_cast<std::uint8_t>(c)); }) &&
        (text[i + word.size()] == ' ' || text[i + word.size()] == '"')) {
      return "! U1 " + std::string(word);
    }
  }
  return {};
}

// ---- ZPL

// Walks a ZPL stream command by command: every format or control prefix starts a command,
// inside field data too (the printer reads it there as well), following ^CC/~CC, ^CT/~CT and
// ^CD/~CD; binary data of a stated length (^GF, ~DY) is stepped over, never read as commands.
class ZplScan {
 public:
  ZplScan(std::span<const std::uint8_t> bytes, std::uint32_t dpi)
      : text_(as_text(bytes)), dpi_(dpi) {}

  RawLabelScan run() {
    std::size_t at = 0;
    while (at < text_.size()) {
      const char c = text_[at];
      if (c == caret_ || c == tilde_) {
        at = command(at, c == caret_ ? '^' : '~');
      } else {
        if (c == '!') note_settings(set_get_do_command(text_, at));
        ++at;
      }
    }
    return std::move(scan_);
  }

 private:
  // Handles the command at `at`; returns where scanning goes on.
  std::size_t command(std::size_t at, char prefix) {
    const std::size_t params = std::min(at + 3, text_.size());
    std::string name(1, prefix);
    for (std::size_t i = at + 1; i < params; ++i) name.push_back(upper(text_[i]));
    if (name.size() < 3) return text_.size();

    // A changed prefix or delimiter is the one character that follows.
    if (name == "^CC" || name == "~CC" || name == "^CT" || name == "~CT" || name == "^CD" ||
        name == "~CD") {
      if (params >= text_.size()) return text_.size();
      const char chosen = text_[params];
      if (name[2] == 'C') caret_ = chosen;
      if (name[2] == 'T') tilde_ = chosen;
      if (name[2] == 'D') delimiter_ = chosen;
      return params + 1;
    }
    const std::size_t end = parameters_end(params);
    const std::string_view parameters = text_.substr(params, end - params);

    if (const SettingsCommand* row = settings_row(RawLanguage::zpl, name)) {
      judge(*row, name, parameters);
    }
    if (name == "^XA") {
      in_format_ = true;
      quantity_ = 1;
    } else if (name == "^XZ") {
      if (in_format_)
        scan_.geometry.labels = std::min(scan_.geometry.labels + quantity_, LABEL_COUNT_LIMIT);
      in_format_ = false;
    } else if (name == "^PQ") {
      if (const auto q = leading_number(parameters); q && *q >= 1) {
        quantity_ = static_cast<std::uint64_t>(*q);
      }
    } else if (name == "^PW") {
      if (const auto value = leading_number(parameters)) {
        keep_larger(scan_.geometry.width_um, whole_um(in_um(*value)));
      }
    } else if (name == "^LL") {
      if (const auto value = leading_number(parameters)) {
        keep_larger(scan_.geometry.length_um, whole_um(in_um(*value)));
      }
    } else if (name == "^PO") {
      scan_.geometry.inverted = !parameters.empty() && upper(parameters[0]) == 'I';
    } else if (name == "^PM") {
      scan_.geometry.mirrored = !parameters.empty() && upper(parameters[0]) == 'Y';
    } else if (name == "^MU") {
      units(parameters);
    } else if (name == "^GF") {
      // ^GFa,b,c,d,data: binary (B) and compressed binary (C) data is b bytes.
      const char kind = parameters.empty() ? 'A' : upper(parameters[0]);
      if (kind == 'B' || kind == 'C') return skip_binary(params, 4, 1);
    } else if (name == "~DY") {
      // ~DYd:f,b,x,t,w,data: all but ASCII hex (A) is t bytes of binary.
      const auto format = field(parameters, 1);
      const char kind = format.empty() ? 'A' : upper(format[0]);
      if (kind != 'A') return skip_binary(params, 5, 3);
    }
    return end;
  }

  // Where a command's parameters end: at the next prefix.
  std::size_t parameters_end(std::size_t from) const {
    std::size_t i = from;
    while (i < text_.size() && text_[i] != caret_ && text_[i] != tilde_) ++i;
    return i;
  }

  // The n-th parameter (0-based) of a command's parameter text.
  std::string_view field(std::string_view parameters, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t next = parameters.find(delimiter_);
      if (next == std::string_view::npos) return {};
      parameters.remove_prefix(next + 1);
    }
    return parameters.substr(0, parameters.find(delimiter_));
  }

  // Binary data that starts after the `delimiters`-th delimiter, its length the parameter at
  // `count_field`; a malformed header ends the scan where its parameters end.
  std::size_t skip_binary(std::size_t params, std::size_t delimiters, std::size_t count_field) {
    std::size_t i = params;
    std::size_t seen = 0;
    while (i < text_.size() && seen < delimiters) {
      if (text_[i] == caret_ || text_[i] == tilde_) return i;
      if (text_[i] == delimiter_) ++seen;
      ++i;
    }
    const auto count = leading_number(field(text_.substr(params, i - params), count_field));
    if (!count) return i;
    return std::min(text_.size(), i + static_cast<std::size_t>(*count));
  }

  void units(std::string_view parameters) {
    const char unit = parameters.empty() ? 'D' : upper(parameters[0]);
    if (unit == 'D' || unit == 'I' || unit == 'M') unit_ = unit;
    // ^MUd,b,c: a format written at b dots per inch, converted by the printer.
    if (const auto base = leading_number(field(parameters, 1)); base && *base > 0) {
      base_dpi_ = *base;
    }
  }

  double in_um(double value) const {
    if (unit_ == 'I') return value * UM_PER_INCH;
    if (unit_ == 'M') return value * UM_PER_MM;
    const double dpi = base_dpi_ > 0 ? base_dpi_ : dpi_;
    return dpi > 0 ? value * UM_PER_INCH / dpi : 0;
  }

  void judge(const SettingsCommand& row, const std::string& name, std::string_view parameters) {
    if (row.refusal == Refusal::always) {
      // ^JU names what it does by its letter: ^JUS saves, ^JUF restores factory settings.
      note_settings(name == "^JU" && !parameters.empty()
                        ? name + upper(static_cast<std::uint8_t>(parameters[0]))
                        : name);
      return;
    }
    // d:o.x with a device other than the job's memory.
    const std::size_t colon = parameters.find(':');
    const std::string_view first = field(parameters, 0);
    if (colon != std::string_view::npos && colon < first.size() && colon >= 1) {
      const char device = upper(static_cast<std::uint8_t>(first[colon - 1]));
      if (device != 'R') note_settings(name + " " + device + ":");
    }
  }

  void note_settings(std::string name) {
    if (scan_.settings_command.empty() && !name.empty()) scan_.settings_command = std::move(name);
  }

  std::string_view text_;
  double dpi_;
  RawLabelScan scan_;
  char caret_ = '^';
  char tilde_ = '~';
  char delimiter_ = ',';
  char unit_ = 'D';
  double base_dpi_ = 0;
  bool in_format_ = false;
  std::uint64_t quantity_ = 1;
};

// ---- EPL

// EPL is a command per line, at its start; quoted data never starts a line. Binary data of a
// stated length (GW, GM) is stepped over.
RawLabelScan scan_epl(std::span<const std::uint8_t> bytes, std::uint32_t dpi) {
  RawLabelScan scan;
  const std::string_view text = as_text(bytes);
  const auto dots_um = [&](double dots) {
    return whole_um(dpi > 0 ? dots * UM_PER_INCH / dpi : 0);
  };
  const auto parameter = [](std::string_view line, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t next = line.find(',');
      if (next == std::string_view::npos) return std::optional<double>();
      line.remove_prefix(next + 1);
    }
    return leading_number(line);
  };
  const auto note = [&](std::string name) {
    if (scan.settings_command.empty()) scan.settings_command = std::move(name);
  };

  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    std::size_t next = end + 1;

    for (std::size_t length : {std::size_t{8}, std::size_t{6}, std::size_t{2}, std::size_t{1}}) {
      if (line.size() >= length && settings_row(RawLanguage::epl, line.substr(0, length))) {
        note(std::string(line.substr(0, length)));
        break;
      }
    }
    if (!line.empty() && line[0] == '!') note(set_get_do_command(line, 0));

    if (line.starts_with("GW")) {
      // GWp1,p2,p3,p4,DATA: p3 bytes a row, p4 rows, right after the fourth comma, which is
      // on the command's own line (looking further would make the scan quadratic).
      std::size_t data = 0;
      for (int commas = 0; data < line.size() && commas < 4; ++data) {
        if (line[data] == ',') ++commas;
      }
      const auto row_bytes = parameter(line.substr(2), 2);
      const auto rows = parameter(line.substr(2), 3);
      data += at;
      if (row_bytes && rows && std::ranges::count(line, ',') >= 4) {
        const double size = std::min(*row_bytes * *rows, NUMBER_LIMIT);
        const std::size_t after = std::min(text.size(), data + static_cast<std::size_t>(size));
        const std::size_t line_end = text.find('\n', after);
        next = line_end == std::string_view::npos ? text.size() : line_end + 1;
      }
    } else if (line.starts_with("GM")) {
      // GM"name"p1, then p1 bytes of the graphic on the following lines.
      const std::size_t quote = line.rfind('"');
      if (quote != std::string_view::npos && quote > 2) {
        if (const auto size = leading_number(line.substr(quote + 1))) {
          next = std::min(text.size(), next + static_cast<std::size_t>(*size));
        }
      }
    } else if (line.starts_with("q")) {
      if (const auto width = leading_number(line.substr(1))) {
        keep_larger(scan.geometry.width_um, dots_um(*width));
      }
    } else if (line.starts_with("Q")) {
      if (const auto length = leading_number(line.substr(1))) {
        keep_larger(scan.geometry.length_um, dots_um(*length));
      }
    } else if (line.size() > 1 && line[0] == 'P' && is_digit(static_cast<std::uint8_t>(line[1]))) {
      // Pp1[,p2]: p1 sets of p2 copies each.
      const double sets = leading_number(line.substr(1)).value_or(0);
      const double copies = std::max(parameter(line.substr(1), 1).value_or(1), 1.0);
      scan.geometry.labels = std::min(
          scan.geometry.labels + static_cast<std::uint64_t>(std::min(sets * copies, NUMBER_LIMIT)),
          LABEL_COUNT_LIMIT);
    }
    at = next;
  }
  return scan;
}

// "101.6 mm"
std::string millimetres(std::int32_t um) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f mm", um / 1000.0);
  return text;
}

}  // namespace

std::optional<RawLanguage> raw_language_of_format(std::string_view format) noexcept {
  if (format == "zpl") return RawLanguage::zpl;
  if (format == "epl") return RawLanguage::epl;
  return std::nullopt;
}

std::string_view format_of_raw_language(RawLanguage language) noexcept {
  return language == RawLanguage::zpl ? "zpl" : "epl";
}

RawLabelScan scan_raw_label(RawLanguage language, std::span<const std::uint8_t> bytes,
                            std::uint32_t dpi) {
  if (language == RawLanguage::epl) return scan_epl(bytes, dpi);
  return ZplScan(bytes, dpi).run();
}

Result<RawLabel> verify_raw_payload(RawLanguage language, const RasterPayload& payload,
                                    std::uint32_t dpi, bool settings_allowed) {
  const auto too_large = [] {
    return fail(ErrorCode::PAYLOAD_TOO_LARGE, "The label exceeds the helper limit.");
  };
  if (payload.base64.size() > MAX_BASE64_TEXT_BYTES) return too_large();
  auto decoded = decode_base64_strict(payload.base64);
  if (!decoded) return fail(ErrorCode::BAD_REQUEST, "The label payload is not valid base64.");
  if (decoded->empty()) return fail(ErrorCode::BAD_REQUEST, "The label is empty.");
  if (decoded->size() > MAX_LABEL_PNG_BYTES) return too_large();
  RawLabel label{language, std::move(*decoded), {}};
  label.scan = scan_raw_label(language, label.bytes, dpi);
  if (!settings_allowed && !label.scan.settings_command.empty()) {
    return std::unexpected(settings_command_refused(label.scan.settings_command));
  }
  return label;
}

HostError settings_command_refused(std::string_view command) {
  return HostError{ErrorCode::BAD_REQUEST,
                   "The label contains " + std::string(command) +
                       ", which changes the printer beyond this job. Send \"printer_settings\": "
                       "\"allow\" with the label to print it anyway."};
}

std::optional<PrintFailure> check_raw_label_fit(const RawLabelGeometry& geometry, std::uint32_t dpi,
                                                const std::optional<MediaSize>& page,
                                                const std::vector<Resolution>& resolutions) {
  const auto mismatch = [](std::string message) {
    return PrintFailure{PrintReach::refused, {ErrorCode::MEDIA_MISMATCH, std::move(message)}};
  };
  const auto prints_at = [&](const Resolution& r) {
    return r.x_dpi == static_cast<std::int32_t>(dpi) || r.y_dpi == static_cast<std::int32_t>(dpi);
  };
  if (!resolutions.empty() && std::ranges::none_of(resolutions, prints_at)) {
    std::vector<std::string> queue_dpi;
    for (const Resolution& r : resolutions) {
      std::string one = std::to_string(r.x_dpi) + " dpi";
      if (std::ranges::find(queue_dpi, one) == queue_dpi.end()) queue_dpi.push_back(one);
    }
    return mismatch("The label was written for " + std::to_string(dpi) +
                    " dpi, but the selected print queue prints at " + joined(queue_dpi, " or ") +
                    "; a printer-language label cannot be scaled.");
  }
  if (!geometry.declared()) return std::nullopt;
  if (!page || page->width_um <= 0 || page->height_um <= 0) {
    return PrintFailure{PrintReach::nothing,
                        {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         "The print system could not tell the selected print queue's paper size, "
                         "so the label's size cannot be checked."}};
  }
  const auto beyond = [](const std::optional<std::int32_t>& side, std::int32_t page_side) {
    return side && *side > page_side + MEDIA_MATCH_TOLERANCE_UM;
  };
  if (beyond(geometry.width_um, page->width_um) || beyond(geometry.length_um, page->height_um)) {
    const auto side = [](const std::optional<std::int32_t>& um) {
      return um ? millimetres(*um) : std::string("unstated");
    };
    return mismatch("The label (" + side(geometry.width_um) + " wide, " + side(geometry.length_um) +
                    " long at " + std::to_string(dpi) + " dpi) is larger than the page (" +
                    describe_media_size(*page) + "); a printer-language label cannot be shrunk.");
  }
  return std::nullopt;
}

}  // namespace vantrel
