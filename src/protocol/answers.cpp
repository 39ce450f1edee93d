#include "protocol/answers.hpp"

#include "base/version.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {

namespace {

std::string_view queue_state_word(PrintQueueState state) noexcept {
  switch (state) {
    case PrintQueueState::unavailable:
      return "unavailable";
    case PrintQueueState::idle:
      return "idle";
    case PrintQueueState::printing:
      return "printing";
    case PrintQueueState::offline:
      return "offline";
    case PrintQueueState::paused:
      return "paused";
    case PrintQueueState::error:
      return "error";
  }
  return "unavailable";
}

}  // namespace

JsonValue hello_result() {
  JsonValue result = JsonValue::object();
  result["arch"] = "x86_64";
  result["capabilities"] =
      JsonValue::array({"list_printers", "submit_png", "get_job", "durable_idempotency"});
#ifdef _WIN32
  result["platform"] = "windows";
#else
  result["platform"] = "linux";
#endif
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
  return JsonValue{{"duplicate", answer.duplicate},
                   {"intent_id", record.intent_id},
                   {"os_job_id", record.os_job_id},
                   {"printer", record.printer},
                   {"state", stored_state(record)}};
}

}  // namespace vantrel
