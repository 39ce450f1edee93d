#pragma once

#include <string>
#include <vector>

#include "base/json.hpp"
#include "domain/messages/get_printer.hpp"
#include "domain/messages/list_printers.hpp"
#include "domain/messages/submit.hpp"
#include "domain/messages/submit_batch.hpp"
#include "domain/state/ledger.hpp"

namespace vantrel {

// The typed results of the domain as the wire's result objects. Members are written in byte
// order (JsonValue objects are sorted).

// hello: the host's platform (as its entry names it), protocol, version and capabilities.
[[nodiscard]] JsonValue hello_result(std::string_view platform);

// list_printers: {"default_printer": ..., "printers": [{"enabled", "name", "state", "uri"}, ...]}
[[nodiscard]] JsonValue queue_listing_result(const QueueListing& listing);

// get_printer: the queue's details, sizes in micrometres, unknown values as null.
[[nodiscard]] JsonValue printer_answer_result(const PrinterAnswer& answer);

// get_job: the record, nine members, times as unsigned integers.
[[nodiscard]] JsonValue job_record_result(const JobRecord& record);

// submit: duplicate, intent_id, os_job_id, printer and state of the attempt.
[[nodiscard]] JsonValue submit_result(const SubmitAnswer& answer);

// submit_batch: {"results": [...]}, one per label in request order, each as the envelope of a
// submit of that label alone would carry it: {"ok": true, "result": ...} or
// {"ok": false, "error": {"code", "message"}}.
[[nodiscard]] JsonValue submit_batch_result(const std::vector<LabelAnswer>& answers);

// A domain result as an answer's outcome: encoded when it holds a value, its error otherwise.
template <class T, class Encode>
[[nodiscard]] Result<JsonValue> answer_of(Result<T> result, Encode&& encode) {
  if (!result) return std::unexpected(std::move(result.error()));
  return encode(*result);
}

}  // namespace vantrel
