// Writes the seed corpora of the fuzz targets: fuzz_seeds <folder> fills <folder>/<target>/
// with valid inputs (framed requests, host-written ledgers, submit payloads, Base64 texts and
// small PNGs of every colour type and bit depth), so that no binary seed lives in the tree.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/json.hpp"
#include "domain/state/ledger.hpp"
#include "fake_streams.hpp"
#include "test_png.hpp"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

struct NamedPng {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

std::vector<NamedPng> every_kind_of_png() {
  using test_png::png_layout;
  struct Kind {
    const char* name;
    int color_type;
    int bit_depth;
    bool interlaced = false;
    bool transparency = false;
  };
  const Kind kinds[] = {
      {"gray1", PNG_COLOR_TYPE_GRAY, 1},
      {"gray2", PNG_COLOR_TYPE_GRAY, 2},
      {"gray4", PNG_COLOR_TYPE_GRAY, 4},
      {"gray8", PNG_COLOR_TYPE_GRAY, 8},
      {"gray16", PNG_COLOR_TYPE_GRAY, 16},
      {"gray8_trns", PNG_COLOR_TYPE_GRAY, 8, false, true},
      {"gray1_interlaced", PNG_COLOR_TYPE_GRAY, 1, true},
      {"gray_alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8},
      {"gray_alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16},
      {"rgb8", PNG_COLOR_TYPE_RGB, 8},
      {"rgb16", PNG_COLOR_TYPE_RGB, 16},
      {"rgb16_trns", PNG_COLOR_TYPE_RGB, 16, false, true},
      {"palette1", PNG_COLOR_TYPE_PALETTE, 1},
      {"palette2", PNG_COLOR_TYPE_PALETTE, 2},
      {"palette4_interlaced", PNG_COLOR_TYPE_PALETTE, 4, true},
      {"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, false, true},
      {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8},
      {"rgba8_interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, true},
      {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16},
  };
  std::vector<NamedPng> pngs;
  for (const Kind& kind : kinds) {
    test_png::PngLayout layout =
        png_layout(16, 16, kind.bit_depth, kind.color_type, kind.interlaced);
    if (kind.color_type == PNG_COLOR_TYPE_PALETTE) {
      const int entries = 1 << kind.bit_depth;
      for (int i = 0; i < entries; ++i) {
        layout.palette.push_back(png_color{static_cast<png_byte>(i * 255 / (entries - 1)),
                                           static_cast<png_byte>(i * 7),
                                           static_cast<png_byte>(~i)});
      }
      if (kind.transparency) layout.palette_alpha = {0, 128, 255};
    } else if (kind.transparency) {
      layout.transparent = png_color_16{0, 3, 5, 7, 3};
    }
    const int channels = kind.color_type == PNG_COLOR_TYPE_GRAY         ? 1
                         : kind.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                         : kind.color_type == PNG_COLOR_TYPE_RGB        ? 3
                         : kind.color_type == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                                                                        : 1;
    const std::size_t row_bytes = (std::size_t{16} * channels * kind.bit_depth + 7) / 8;
    pngs.push_back(
        {kind.name, test_png::write_png(layout, [row_bytes](std::uint32_t y, std::uint8_t* row) {
           for (std::size_t x = 0; x < row_bytes; ++x) {
             row[x] = static_cast<std::uint8_t>(x * 7 + y * 13);
           }
         })});
  }
  return pngs;
}

JsonValue submit_payload(const std::vector<std::uint8_t>& png, const std::string& intent_id) {
  return JsonValue{{"intent_id", intent_id},
                   {"printer", "Label Printer"},
                   {"title", "Order 17"},
                   {"copies", 1},
                   {"dpi", 203},
                   {"payload",
                    {{"format", "png"},
                     {"base64", test_png::encode_base64(png)},
                     {"width_px", 16},
                     {"height_px", 16}}}};
}

std::string envelope(const std::string& request_id, const std::string& type,
                     const JsonValue& payload = nullptr) {
  JsonValue request{{"protocol", 1}, {"request_id", request_id}, {"type", type}};
  if (!payload.is_null()) request["payload"] = payload;
  return fakes::frame(request.dump());
}

HostLedger ledger_of_every_state() {
  HostLedger ledger;
  ledger.updated_at_ms = 1'700'000'100'000;
  const char* states[] = {"DISPATCHING", "SUBMITTED", "FAILED",     "UNKNOWN",
                          "OBSERVED",    "COMPLETED", "HAND_EDITED"};
  std::uint64_t created = 1'700'000'000'000;
  for (const char* state : states) {
    JobRecord record;
    record.intent_id = std::string("intent-") + state;
    record.payload_sha256 = std::string(64, 'a');
    store_state(record, state);
    record.printer = "Label Printer \xC3\xA9 \"quoted\" \\ /";
    record.os_job_id = std::string(state) == "SUBMITTED" ? "42" : "";
    record.created_at_ms = created;
    record.updated_at_ms = created + 5;
    if (std::string(state) == "FAILED") {
      record.error_code = "MEDIA_MISMATCH";
      record.error_message = "line\nbreak\ttab \x01 control";
    }
    created -= 40ull * 24 * 3600 * 1000 / 7;  // spread over more than the 30-day retention
    ledger.jobs[record.intent_id] = record;
  }
  return ledger;
}

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : root_(std::move(root)) {}

  void put(const std::string& target, const std::string& name, const std::string& bytes) {
    const fs::path folder = root_ / target;
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary) << bytes;
    ++count_;
  }
  void put(const std::string& target, const std::string& name,
           const std::vector<std::uint8_t>& bytes) {
    put(target, name, std::string(bytes.begin(), bytes.end()));
  }
  [[nodiscard]] int count() const { return count_; }

 private:
  fs::path root_;
  int count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
    return 2;
  }
  SeedWriter seeds{fs::path(argv[1])};
  const std::vector<NamedPng> pngs = every_kind_of_png();
  const std::vector<std::uint8_t>& label = pngs.front().bytes;

  for (const NamedPng& png : pngs) {
    seeds.put("png", png.name + ".png", png.bytes);
    const std::string json = submit_payload(png.bytes, "order-" + png.name).dump();
    seeds.put("submit", png.name + ".json", json);
    seeds.put("submit", png.name + ".json+png",
              json + std::string(1, '\0') + std::string(png.bytes.begin(), png.bytes.end()));
  }
  JsonValue with_media = submit_payload(label, "order-media");
  with_media["media"] = "4x6";
  seeds.put("submit", "media.json", with_media.dump());
  JsonValue zpl = submit_payload(label, "order-zpl");
  zpl["payload"] = JsonValue{{"format", "zpl"}, {"base64", "XlhBXlBXODEyXlha"}};
  zpl["printer_settings"] = "allow";
  seeds.put("submit", "zpl.json", zpl.dump());

  for (std::size_t n = 0; n <= 6; ++n) {
    seeds.put("base64", "bytes" + std::to_string(n) + ".txt",
              test_png::encode_base64(std::vector<std::uint8_t>(label.begin(), label.begin() + n)));
  }
  seeds.put("base64", "label.txt", test_png::encode_base64(label));

  // Media names in each form the host reads, and a driver's papers: two of one size, and sizes
  // beyond the host's limits.
  for (const char* name :
       {"na_index-4x6_4x6in", "custom_0.0005x4mm", "w288h432", "w1e8h10", "w0.001h0.001",
        "Custom.4x6in", "Custom.100000000x4in", "na_x_99999999999x4in", "oe_4x-6-margins_4x6in"}) {
    seeds.put("media", std::string(name) + ".txt", std::string(name));
  }
  const auto paper = [](std::uint16_t id, std::int32_t width, std::int32_t length) {
    std::string bytes(12, '\0');
    std::memcpy(bytes.data(), &id, 2);
    std::memcpy(bytes.data() + 2, &width, 4);
    std::memcpy(bytes.data() + 6, &length, 4);
    bytes[10] = 3;  // a name of three units
    return bytes + "4x6";
  };
  seeds.put("media", "papers.bin",
            paper(256, 1016, 1524) + paper(257, 1016, 1524) + paper(1, 2159, 2794) +
                paper(258, 2147483647, -5) + std::string("\x7F\x00\xFE\x00\xB2\x26\x6F\x08", 8));
  // Raw labels: the first byte picks the language (low bit) and the dpi.
  const std::pair<const char*, std::string> raw_labels[] = {
      {"zpl_4x6", std::string(1, '\0') + "^XA^PW812^LL1218^PQ2^FO50,50^A0N,40^FDOrder^FS^XZ"},
      {"zpl_units", std::string(1, '\2') + "^XA^MUm^PW101.6^MUi^LL6^POI^PMY^XZ"},
      {"zpl_prefixes", std::string(1, '\0') + "^XA^CC+~CT!+CD;+FO1;1+FD~JR+FS!JC+XZ"},
      {"zpl_binary", std::string(1, '\0') + "^XA^GFB,6,6,1,^JUS~J^FS^XZ~DYR:A,B,G,2,,~~"},
      {"zpl_settings", std::string(1, '\0') + "^XA^JUS^XZ! U1 setvar \"a\" \"b\"\r\n"},
      {"epl_4x6", std::string(1, '\1') + "\nN\nq812\nQ1218,24\nA5,5,0,1,1,1,N,\"^@\"\nP2,3\n"},
      {"epl_binary", std::string(1, '\1') + "N\nGW0,0,1,2,\n^\nFS\"x\"\nP1\n"},
  };
  for (const auto& [name, bytes] : raw_labels) seeds.put("raw_label", name, bytes);

  seeds.put("ledger", "empty.json", encode_ledger(HostLedger{}).value());
  seeds.put("ledger", "every_state.json", encode_ledger(ledger_of_every_state()).value());
  // NUL bytes after and inside a document: a reader must not take either as the end.
  const std::string empty_ledger = encode_ledger(HostLedger{}).value();
  seeds.put("ledger", "trailing_nul.json", empty_ledger + std::string("\0garbage", 8));
  seeds.put("ledger", "inner_nul.json",
            empty_ledger.substr(0, 1) + std::string(1, '\0') + empty_ledger.substr(1));

  const JsonValue submit = submit_payload(label, "order-1");
  JsonValue two_copies = submit;
  two_copies["copies"] = 2;
  seeds.put("channel", "hello.bin", envelope("h1", "hello"));
  seeds.put("channel", "list_printers.bin", envelope("l1", "list_printers"));
  seeds.put("channel", "submit.bin", envelope("s1", "submit", submit));
  seeds.put("channel", "submit_twice.bin",
            envelope("s1", "submit", submit) + envelope("s2", "submit", submit));
  seeds.put("channel", "get_job.bin",
            envelope("g1", "get_job", JsonValue{{"intent_id", "order-1"}}));
  seeds.put("channel", "mixed.bin",
            envelope("h1", "hello") + envelope("s1", "submit", two_copies) +
                envelope("s2", "submit", with_media) + envelope("x", "bogus") +
                fakes::frame("{\"protocol\":1,\"request_id\":\"d\",\"type\":\"hello\","
                             "\"type\":\"hello\"}"));
  seeds.put("channel", "truncated.bin", envelope("h1", "hello").substr(0, 9));
  const std::string hello_text = R"({"protocol":1,"request_id":"n","type":"hello"})";
  seeds.put("channel", "trailing_nul.bin",
            fakes::frame(hello_text + std::string(1, '\0')) +
                fakes::frame(hello_text + std::string("\0garbage", 8)) + envelope("h2", "hello"));

  std::printf("fuzz_seeds: wrote %d seeds into %s\n", seeds.count(), argv[1]);
  return 0;
}
