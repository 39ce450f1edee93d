#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/printing/print_system.hpp"
#include "fault_plan.hpp"

namespace vantrel::fakes {

// A print system in memory for the rules above the seam: queues, a default, job progress and
// label documents as a test arranges them. It counts what it printed (a document ended) by
// title, records every call, and fails any step through its fault plan (its own, or one shared
// with other fakes, so that a crash point can fall on any call).
class FakePrintSystem final : public PrintSystem {
 public:
  // What one document received.
  struct Document {
    std::string queue;
    std::string media;  // the media asked for, "" for the queue's own paper
    std::string title;
    std::vector<LabelPlacement> pages;
    bool ended = false;
    bool raw = false;
    std::vector<std::uint8_t> bytes;  // a raw document's, as written
    std::size_t writes = 0;
  };

  explicit FakePrintSystem(FaultPlan* shared_plan = nullptr)
      : plan_(shared_plan != nullptr ? shared_plan : &own_plan_) {}
  FakePrintSystem(const FakePrintSystem&) = delete;
  FakePrintSystem& operator=(const FakePrintSystem&) = delete;

  // --- What the tests arrange ---

  std::vector<QueueStatus> queue_list{{"Label", PrintQueueState::idle}};
  std::string default_name = "Label";
  PrintableArea area{203, 203, 812, 1218};
  std::uint32_t next_job = 7;
  // What job_progress answers for a (queue, job); `progress` for anything else.
  std::map<std::pair<std::string, std::uint32_t>, JobProgress, std::less<>> jobs;
  JobProgress progress = JobProgress::gone;
  // The failure a planned fault of a step gives; each step has a default of its own kind.
  std::map<std::string, PrintFailure, std::less<>> failures{
      {"open_label_document",
       {PrintReach::nothing, {ErrorCode::PRE_SUBMIT_UNAVAILABLE, "The queue could not be opened"}}},
      {"begin", {PrintReach::refused, {ErrorCode::SUBMISSION_REJECTED, "The job was rejected"}}},
      {"draw_page", {PrintReach::unknown, {ErrorCode::UNKNOWN_OUTCOME, "The page was lost"}}},
      {"end", {PrintReach::unknown, {ErrorCode::UNKNOWN_OUTCOME, "The end was lost"}}},
      {"open_raw_document",
       {PrintReach::nothing, {ErrorCode::SUBMISSION_REJECTED, "The queue takes no raw labels"}}},
      {"write", {PrintReach::unknown, {ErrorCode::UNKNOWN_OUTCOME, "The bytes were lost"}}},
  };
  // What a raw document prints on without media: the queue's paper and resolutions. With media,
  // the media's size takes the paper's place.
  RawPage raw_page{MediaSize{101'600, 152'400}, {{203, 203}}};

  // What printer_details answers for a queue; also the media a document may ask for. A queue not
  // here has details made of its listed name and state only.
  std::map<std::string, PrinterDetails, std::less<>> details;
  // A driver that ignores the media asked for: every document prints on this page.
  std::optional<MediaSize> page_regardless;

  // Consulted at each document step ("begin", "draw_page", "end") before the plan: a failure to
  // give, for outcomes that follow the document.
  std::function<std::optional<PrintFailure>(std::string_view step, const Document& document)>
      script;

  // --- What the tests inspect ---

  std::vector<std::string> calls;
  std::vector<Document> documents;
  // Labels printed (documents ended), by title.
  std::map<std::string, int> printed;

  // The next `times` uses of `call` (a member of the seam, or a document step: "begin",
  // "draw_page", "end") fail; times < 0: every use from now on.
  void fail(std::string_view call, int times = 1) { plan_->fail(call, 0, 1, times); }
  [[nodiscard]] FaultPlan& plan() { return *plan_; }

  // --- The seam ---

  std::string_view queue_uri() const override { return "fake"; }

  Result<std::vector<QueueStatus>> queues() override {
    if (enter("queues")) {
      return vantrel::fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "The queues could not be listed");
    }
    return queue_list;
  }

  std::string default_queue() override {
    if (enter("default_queue")) return {};
    return default_name;
  }

  JobProgress job_progress(std::string_view queue, std::uint32_t job_id) override {
    if (enter("job_progress " + std::string(queue) + " " + std::to_string(job_id),
              "job_progress")) {
      return JobProgress::unknown;
    }
    const auto it = jobs.find(std::pair{std::string(queue), job_id});
    return it == jobs.end() ? progress : it->second;
  }

  Result<PrinterDetails> printer_details(std::string_view queue) override {
    if (enter("printer_details " + std::string(queue), "printer_details")) {
      return std::unexpected(failures.at("open_label_document").error);
    }
    if (const auto it = details.find(queue); it != details.end()) return it->second;
    for (const QueueStatus& listed : queue_list) {
      if (listed.name == queue) {
        PrinterDetails listed_only;
        listed_only.name = listed.name;
        listed_only.state = listed.state;
        listed_only.is_default = listed.name == default_name;
        return listed_only;
      }
    }
    return std::unexpected(failures.at("open_label_document").error);
  }

  std::expected<std::unique_ptr<LabelDocument>, PrintFailure> open_label_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override {
    if (enter("open_label_document " + std::string(queue), "open_label_document")) {
      return std::unexpected(failures.at("open_label_document"));
    }
    if (media) {
      const auto it = details.find(queue);
      const bool offered =
          it != details.end() && std::ranges::any_of(it->second.media, [&](const PrinterMedia& m) {
            return same_media_size(m.size, media->size, MEDIA_MATCH_TOLERANCE_UM);
          });
      if (!offered) return std::unexpected(media_not_offered(*media));
      if (page_regardless &&
          !same_media_size(*page_regardless, media->size, MEDIA_PAGE_TOLERANCE_UM)) {
        return std::unexpected(media_not_applied(*media, *page_regardless));
      }
    }
    documents.push_back(new_document(queue, media));
    return std::make_unique<FakeDocument>(*this, documents.size() - 1);
  }

  std::expected<std::unique_ptr<RawDocument>, PrintFailure> open_raw_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override {
    if (enter("open_raw_document " + std::string(queue), "open_raw_document")) {
      return std::unexpected(failures.at("open_raw_document"));
    }
    RawPage page = raw_page;
    if (media) {
      const auto it = details.find(queue);
      const bool offered =
          it != details.end() && std::ranges::any_of(it->second.media, [&](const PrinterMedia& m) {
            return same_media_size(m.size, media->size, MEDIA_MATCH_TOLERANCE_UM);
          });
      if (!offered) return std::unexpected(media_not_offered(*media));
      page.size = media->size;
    }
    documents.push_back(new_document(queue, media));
    documents.back().raw = true;
    return std::make_unique<FakeRawDocument>(*this, documents.size() - 1, std::move(page));
  }

  PrintFailure label_does_not_fit() const override {
    return PrintFailure{PrintReach::refused, {ErrorCode::MEDIA_MISMATCH, "The label does not fit"}};
  }

 private:
  class FakeDocument final : public LabelDocument {
   public:
    FakeDocument(FakePrintSystem& system, std::size_t index) : system_(system), index_(index) {}

    PrintableArea printable_area() override {
      system_.calls.emplace_back("printable_area");
      return system_.area;
    }
    std::optional<PrintFailure> begin(std::string_view title) override {
      system_.documents[index_].title = title;
      return step("begin");
    }
    std::optional<PrintFailure> draw_page(const LabelBitmap&,
                                          const LabelPlacement& placement) override {
      if (auto failed = step("draw_page")) return failed;
      system_.documents[index_].pages.push_back(placement);
      return std::nullopt;
    }
    PrintOutcome end() override {
      if (auto failed = step("end")) return std::unexpected(*failed);
      Document& document = system_.documents[index_];
      document.ended = true;
      ++system_.printed[document.title];
      return system_.next_job++;
    }

   private:
    std::optional<PrintFailure> step(std::string_view call) {
      return system_.document_step(call, index_);
    }

    FakePrintSystem& system_;
    std::size_t index_;
  };

  class FakeRawDocument final : public RawDocument {
   public:
    FakeRawDocument(FakePrintSystem& system, std::size_t index, RawPage page)
        : system_(system), index_(index), page_(std::move(page)) {}

    const RawPage& page() const override { return page_; }
    std::optional<PrintFailure> begin(std::string_view title) override {
      system_.documents[index_].title = title;
      return step("begin");
    }
    std::optional<PrintFailure> write(std::span<const std::uint8_t> bytes) override {
      if (auto failed = step("write")) return failed;
      Document& document = system_.documents[index_];
      document.bytes.insert(document.bytes.end(), bytes.begin(), bytes.end());
      ++document.writes;
      return std::nullopt;
    }
    PrintOutcome end() override {
      if (auto failed = step("end")) return std::unexpected(*failed);
      Document& document = system_.documents[index_];
      document.ended = true;
      ++system_.printed[document.title];
      return system_.next_job++;
    }

   private:
    std::optional<PrintFailure> step(std::string_view call) {
      return system_.document_step(call, index_);
    }

    FakePrintSystem& system_;
    std::size_t index_;
    RawPage page_;
  };

  static Document new_document(std::string_view queue, const std::optional<MediaRequest>& media) {
    Document document;
    document.queue = queue;
    document.media = media ? media->name : "";
    return document;
  }

  // A document step: the plan's failure, else the script's.
  std::optional<PrintFailure> document_step(std::string_view call, std::size_t index) {
    if (enter(std::string(call), call)) return failures.at(std::string(call));
    if (script) return script(call, documents[index]);
    return std::nullopt;
  }

  // Records the call and asks the plan about it; true when it fails.
  bool enter(std::string recorded, std::string_view call = {}) {
    calls.push_back(recorded);
    return plan_->enter(call.empty() ? std::string_view(recorded) : call).has_value();
  }

  FaultPlan own_plan_;
  FaultPlan* plan_;
};

}  // namespace vantrel::fakes
