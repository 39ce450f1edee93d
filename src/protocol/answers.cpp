#include "protocol/answers.hpp"

#include "base/name_table.hpp"
#include "base/version.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {

namespace {

// The state words of the answers.
constexpr NameTable<PrintQueueState, 6> QUEUE_STATE_WORDS{{
    {PrintQueueState::unavailable, "unavailable"},
    {PrintQueueState::idle, "idle"},
    {PrintQueueState::printing, "printing"},
    {PrintQueueState::offline, "offline"},
    {PrintQueueState::paused, "paused"},
    {PrintQueueState::error, "error"},
}};

std::string_view queue_state_word(PrintQueueState state) noexcept {
  return QUEUE_STATE_WORDS.name_of(state);
}

}  // namespace

JsonValue hello_result(std::string_view platform) {
  JsonValue result = JsonValue::object();
  result["arch"] = "x86_64";
  result["capabilities"] =
      JsonValue::array({"list_printers", "submit_png", "get_job", "durable_idempotency", "media",
                        "get_printer", "submit_batch", "submit_raw", "submit_batch_raw"});
  result["platform"] = platform;
  result["protocol"] = PROTOCOL_VERSION;
  result["version"] = HOST_VERSION;
  return result;
}

JsonValue queue_listing_result(const QueueListing& listing) {
  JsonValue printers = JsonValue::array();
  for (const PrintQueueInfo& queue : listing.queues) {
    printers.push_back(JsonValue{{"enabled", queue.enabled},
                                 {"name", queue.name},
                                 {"state", queue_state_word(queue.state)},
                                 {"uri", queue.uri}});
  }
  return JsonValue{{"default_printer", listing.default_printer}, {"printers", std::move(printers)}};
}

namespace {

JsonValue resolution_value(const Resolution& resolution) {
  return JsonValue{{"x_dpi", resolution.x_dpi}, {"y_dpi", resolution.y_dpi}};
}

JsonValue media_value(const PrinterMedia& media) {
  JsonValue area = nullptr;
  if (media.printable_area) {
    const MediaArea& a = *media.printable_area;
    area = JsonValue{
        {"x_um", a.x_um}, {"y_um", a.y_um}, {"width_um", a.width_um}, {"height_um", a.height_um}};
  }
  return JsonValue{{"name", media.name},
                   {"width_um", media.size.width_um},
                   {"height_um", media.size.height_um},
                   {"printable_area", std::move(area)}};
}

JsonValue custom_range_value(const std::optional<MediaRange>& range) {
  if (!range) return nullptr;
  return JsonValue{{"min_width_um", range->smallest.width_um},
                   {"max_width_um", range->largest.width_um},
                   {"min_height_um", range->smallest.height_um},
                   {"max_height_um", range->largest.height_um}};
}

}  // namespace

JsonValue printer_answer_result(const PrinterAnswer& answer) {
  const PrinterDetails& details = answer.details;
  JsonValue resolutions = JsonValue::array();
  for (const Resolution& resolution : details.resolutions) {
    resolutions.push_back(resolution_value(resolution));
  }
  JsonValue media = JsonValue::array();
  for (const PrinterMedia& one : details.media) media.push_back(media_value(one));
  return JsonValue{{"name", details.name},
                   {"state", queue_state_word(details.state)},
                   {"enabled", answer.enabled},
                   {"uri", answer.uri},
                   {"is_default", details.is_default},
                   {"color", details.color},
                   {"resolutions", std::move(resolutions)},
                   {"default_resolution", details.default_resolution
                                              ? resolution_value(*details.default_resolution)
                                              : JsonValue(nullptr)},
                   {"media", std::move(media)},
                   {"default_media", details.default_media},
                   {"media_ready", details.ready_media},
                   {"media_truncated", answer.media_truncated},
                   {"custom_range", custom_range_value(details.custom_range)},
                   {"raw", details.raw ? JsonValue(*details.raw) : JsonValue(nullptr)}};
}

JsonValue job_record_result(const JobRecord& record) {
  return JsonValue{{"created_at_ms", record.created_at_ms},
                   {"error_code", record.error_code},
                   {"error_message", record.error_message},
                   {"intent_id", record.intent_id},
                   {"os_job_id", record.os_job_id},
                   {"payload_sha256", record.payload_sha256},
                   {"printer", record.printer},
                   {"state", stored_state(record)},
                   {"updated_at_ms", record.updated_at_ms}};
}

JsonValue submit_result(const SubmitAnswer& answer) {
  const JobRecord& record = answer.record;
  JsonValue result{{"duplicate", answer.duplicate},
                   {"intent_id", record.intent_id},
                   {"os_job_id", record.os_job_id},
                   {"printer", record.printer},
                   {"state", stored_state(record)}};
  if (answer.geometry) {
    result["geometry"] = *answer.geometry == LabelGeometry::checked ? "checked" : "undeclared";
  }
  return result;
}

JsonValue submit_batch_result(const std::vector<LabelAnswer>& answers) {
  JsonValue results = JsonValue::array();
  for (const LabelAnswer& answer : answers) {
    if (answer) {
      results.push_back(JsonValue{{"ok", true}, {"result", submit_result(*answer)}});
    } else {
      // The label's error as a submit's answer carries it, the stored state of a conflict too.
      JsonValue error{{"code", error_code_name(answer.error().code)},
                      {"message", answer.error().message}};
      if (!answer.error().stored_state.empty()) error["stored_state"] = answer.error().stored_state;
      results.push_back(JsonValue{{"ok", false}, {"error", std::move(error)}});
    }
  }
  return JsonValue{{"results", std::move(results)}};
}

}  // namespace vantrel
