#include "protocol/envelope.hpp"

#include <algorithm>
#include <set>
#include <vector>

#include "base/identifier.hpp"

namespace vantrel {
namespace {

// Builds the generic value while enforcing what nlohmann's own parser does not: the depth
// limit and unique member names in the envelope object. Inner objects keep the last value of a
// repeated key.
class EnvelopeBuilder final : public nlohmann::json_sax<JsonValue> {
 public:
  JsonValue root;

  bool null() override { return put(JsonValue(nullptr)); }
  bool boolean(bool value) override { return put(JsonValue(value)); }
  bool number_integer(number_integer_t value) override { return put(JsonValue(value)); }
  bool number_unsigned(number_unsigned_t value) override { return put(JsonValue(value)); }
  bool number_float(number_float_t value, const string_t&) override {
    return put(JsonValue(value));
  }
  bool string(string_t& value) override { return put(JsonValue(std::move(value))); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(JsonValue::object()); }
  bool key(string_t& name) override {
    if (stack_.size() == 1 && !envelope_keys_.insert(name).second) return false;
    key_ = std::move(name);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JsonValue::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  JsonValue* place(JsonValue&& value) {
    if (stack_.empty()) {
      root = std::move(value);
      return &root;
    }
    JsonValue& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    JsonValue& slot = parent[key_];
    slot = std::move(value);
    return &slot;
  }
  bool put(JsonValue&& value) {
    place(std::move(value));
    return true;
  }
  bool open(JsonValue&& container) {
    if (stack_.size() >= MAX_JSON_DEPTH) return false;
    stack_.push_back(place(std::move(container)));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  std::vector<JsonValue*> stack_;
  std::string key_;
  std::set<std::string> envelope_keys_;
};

}  // namespace

std::optional<Request> decode_envelope(std::span<const std::uint8_t> body) {
  // nlohmann skips a byte-order mark; the protocol does not allow one.
  if (body.size() >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) {
    return std::nullopt;
  }
  // The library's lexer reads a NUL byte as the end of input, which would accept any text
  // after one; a JSON text can hold no NUL byte (inside strings it must be escaped).
  if (std::find(body.begin(), body.end(), std::uint8_t{0}) != body.end()) return std::nullopt;
  EnvelopeBuilder builder;
  bool parsed = false;
  try {
    parsed = JsonValue::sax_parse(body.begin(), body.end(), &builder,
                                  nlohmann::detail::input_format_t::json, true);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed || !builder.root.is_object()) return std::nullopt;

  JsonValue& root = builder.root;
  const auto protocol = root.find("protocol");
  const auto request_id = root.find("request_id");
  const auto type = root.find("type");
  if (protocol == root.end() || !protocol->is_number_unsigned() ||
      protocol->get<std::uint64_t>() > 0xFFFF'FFFFu) {
    return std::nullopt;
  }
  if (request_id == root.end() || !request_id->is_string()) return std::nullopt;
  if (type == root.end() || !type->is_string()) return std::nullopt;

  Request request;
  request.protocol = static_cast<std::uint32_t>(protocol->get<std::uint64_t>());
  request.request_id = std::move(request_id->get_ref<std::string&>());
  request.type = std::move(type->get_ref<std::string&>());
  if (const auto payload = root.find("payload"); payload != root.end()) {
    request.payload = std::move(*payload);
  }
  return request;
}

Status check_protocol(const Request& request) {
  if (request.protocol != PROTOCOL_VERSION) {
    return fail(ErrorCode::PROTOCOL_MISMATCH,
                "Expected protocol " + std::to_string(PROTOCOL_VERSION) + ".");
  }
  return {};
}

Status check_request_id(const Request& request) {
  if (!is_valid_identifier(request.request_id, MAX_REQUEST_ID_LEN)) {
    return std::unexpected(unsupported_characters("request_id"));
  }
  return {};
}

std::string encode_response(const HostResponse& response) {
  std::string out = "{\"protocol\":" + std::to_string(PROTOCOL_VERSION) + ",\"request_id\":";
  append_json_string(out, response.request_id);
  if (response.outcome) {
    out += ",\"ok\":true,\"result\":";
    append_compact_json(out, *response.outcome);
  } else {
    out += ",\"ok\":false,\"error\":{\"code\":";
    append_json_string(out, error_code_name(response.outcome.error().code));
    out += ",\"message\":";
    append_json_string(out, response.outcome.error().message);
    if (!response.outcome.error().stored_state.empty()) {
      out += ",\"stored_state\":";
      append_json_string(out, response.outcome.error().stored_state);
    }
    out += '}';
  }
  out += '}';
  return out;
}

}  // namespace vantrel
