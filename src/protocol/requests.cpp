#include "protocol/requests.hpp"

#include <limits>

#include "base/identifier.hpp"
#include "domain/submit/raw_label.hpp"

namespace vantrel {
namespace {

HostError protocol_mismatch() {
  return HostError{ErrorCode::BAD_REQUEST, "The print job does not match protocol 1."};
}

const JsonValue* member(const JsonValue& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool read_string(const JsonValue& object, const char* key, std::string& out) {
  const JsonValue* value = member(object, key);
  if (value == nullptr || !value->is_string()) return false;
  out = value->get_ref<const std::string&>();
  return true;
}

// A non-negative integer literal that fits T. The parser keeps such literals as unsigned; a
// fraction or an exponent makes a float and a minus sign a signed integer, both refused. A signed
// integer that is not negative can only come from a value built in code, and is taken.
template <class T>
bool read_unsigned(const JsonValue& object, const char* key, T& out) {
  const JsonValue* value = member(object, key);
  if (value == nullptr) return false;
  std::uint64_t number = 0;
  if (value->is_number_unsigned()) {
    number = value->get<std::uint64_t>();
  } else if (value->is_number_integer() && value->get<std::int64_t>() >= 0) {
    number = static_cast<std::uint64_t>(value->get<std::int64_t>());
  } else {
    return false;
  }
  if (number > std::numeric_limits<T>::max()) return false;
  out = static_cast<T>(number);
  return true;
}

// A PNG states its sides; a printer-language label states none.
bool map_raster_payload(const JsonValue& object, RasterPayload& out) {
  if (!object.is_object() || !read_string(object, "format", out.format) ||
      !read_string(object, "base64", out.base64)) {
    return false;
  }
  if (raw_language_of_format(out.format)) {
    return member(object, "width_px") == nullptr && member(object, "height_px") == nullptr;
  }
  return read_unsigned(object, "width_px", out.width_px) &&
         read_unsigned(object, "height_px", out.height_px);
}

// "printer_settings" of a printer-language label: absent or null, or "allow". A PNG's is not
// read, as no member beyond its own ever was.
bool map_printer_settings(const JsonValue& object, const RasterPayload& label, bool& allowed) {
  const JsonValue* value = member(object, "printer_settings");
  if (!raw_language_of_format(label.format) || value == nullptr || value->is_null()) return true;
  allowed = value->is_string() && value->get_ref<const std::string&>() == "allow";
  return allowed;
}

bool map_media(const JsonValue& object, std::optional<std::string>& out) {
  const JsonValue* value = member(object, "media");
  if (value == nullptr || value->is_null()) {
    out.reset();
    return true;
  }
  if (!value->is_string()) return false;
  out = value->get_ref<const std::string&>();
  return true;
}

}  // namespace

Result<SubmitRequest> map_submit_request(const JsonValue& payload) {
  SubmitRequest request;
  if (!payload.is_object()) return std::unexpected(protocol_mismatch());
  const JsonValue* raster = member(payload, "payload");
  const bool mapped =
      read_string(payload, "intent_id", request.intent_id) &&
      read_string(payload, "printer", request.printer) &&
      read_string(payload, "title", request.title) &&
      read_unsigned(payload, "copies", request.copies) && map_media(payload, request.media) &&
      read_unsigned(payload, "dpi", request.dpi) && raster != nullptr &&
      map_raster_payload(*raster, request.payload) &&
      map_printer_settings(payload, request.payload, request.printer_settings_allowed);
  if (!mapped) return std::unexpected(protocol_mismatch());
  return request;
}

Result<SubmitBatchRequest> map_submit_batch_request(const JsonValue& payload) {
  SubmitBatchRequest request;
  if (!payload.is_object()) return std::unexpected(protocol_mismatch());
  const JsonValue* labels = member(payload, "labels");
  const bool mapped =
      read_string(payload, "printer", request.printer) &&
      read_string(payload, "title", request.title) && map_media(payload, request.media) &&
      read_unsigned(payload, "dpi", request.dpi) && labels != nullptr && labels->is_array();
  if (!mapped) return std::unexpected(protocol_mismatch());
  request.labels.reserve(labels->size());
  for (const JsonValue& label : *labels) {
    BatchLabel& mapped_label = request.labels.emplace_back();
    const JsonValue* raster = label.is_object() ? member(label, "payload") : nullptr;
    if (raster == nullptr || !read_string(label, "intent_id", mapped_label.intent_id) ||
        !read_unsigned(label, "copies", mapped_label.copies) ||
        !map_raster_payload(*raster, mapped_label.payload)) {
      return std::unexpected(protocol_mismatch());
    }
  }
  // One opt-in for the batch, read as a submit reads it for the batch's format.
  if (!request.labels.empty() && !map_printer_settings(payload, request.labels.front().payload,
                                                       request.printer_settings_allowed)) {
    return std::unexpected(protocol_mismatch());
  }
  return request;
}

Result<std::string> read_get_job_intent_id(const JsonValue& payload) {
  if (payload.is_object()) {
    const auto member = payload.find("intent_id");
    if (member != payload.end() && member->is_string() &&
        is_valid_identifier(member->get_ref<const std::string&>(), MAX_INTENT_ID_LEN)) {
      return member->get<std::string>();
    }
  }
  return std::unexpected(unsupported_characters("intent_id"));
}

Result<std::string> read_get_printer_name(const JsonValue& payload) {
  std::string printer;
  if (payload.is_object() && read_string(payload, "printer", printer)) return printer;
  return fail(ErrorCode::BAD_REQUEST,
              "printer is empty, too long, or contains control characters.");
}

}  // namespace vantrel
