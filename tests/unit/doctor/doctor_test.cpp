#include "doctor/doctor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "base/json.hpp"
#include "domain/state/state_path.hpp"
#include "fake_doctor_system.hpp"
#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "protocol/answers.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {
namespace {

using fakes::FakeDoctorSystem;
using fakes::FakePrintSystem;
using fakes::FakeStateFiles;
using ::testing::HasSubstr;

const std::string PROGRAM = "/home/ada/.local/lib/vantrel-print-host/vantrel-print-host";

// A user's install as install-user.sh makes it, with a host that answers hello.
void install_for_the_user(FakeDoctorSystem& system) {
  system.environment_values["HOME"] = "/home/ada";
  for (std::string_view folder :
       {".config/google-chrome/NativeMessagingHosts", ".config/chromium/NativeMessagingHosts",
        ".config/microsoft-edge/NativeMessagingHosts",
        ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
        ".config/vivaldi/NativeMessagingHosts", ".mozilla/native-messaging-hosts"}) {
    const bool firefox = folder.starts_with(".mozilla");
    system.files["/home/ada/" + std::string(folder) + "/com.vantrel.print.json"] =
        R"({"name": "com.vantrel.print", "description": "d", "path": ")" + PROGRAM +
        R"(", "type": "stdio", )" +
        (firefox
             ? R"("allowed_extensions": ["print-host-test@vantrel.example"]})"
             : R"("allowed_origins": ["chrome-extension://ondflflfbmjblmgagbkicebfakiegiai/"]})");
  }
  const std::string body = encode_response(HostResponse{"doctor", hello_result("linux")});
  std::string frame;
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<char>(body.size() >> shift));
  system.programs[PROGRAM] = FakeDoctorSystem::Program{frame + body};
}

TEST(Doctor, AHealthyInstallPassesEveryCheckAndSaysSoInJson) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  install_for_the_user(system);
  FakeStateFiles files;
  (void)files.store();
  const std::string log = join_path(files.path_syntax(), files.state_folder(), "logs/host.log");
  files.folders.insert(join_path(files.path_syntax(), files.state_folder(), "logs"));
  files.put_file(log, "the browser's host\n");
  // The doctor's own hosts log too; the lines shown must be those the browser's hosts left.
  system.on_start = [&] { files.put_file(log, "the browser's host\nthe doctor's host\n"); };
  FakePrintSystem printing;
  const DoctorRun run = run_doctor(DoctorServices{system, files, printing, HOST_VERSION});
  EXPECT_EQ(doctor_exit_status(run.report), 0) << doctor_text(run.report);
  EXPECT_EQ(system.starts.size(), 2u);  // once as the Chromium browsers start it, once as Firefox
  EXPECT_EQ(run.report.checks.back().notes, std::vector<std::string>{"the browser's host"});

  const JsonValue json = JsonValue::parse(doctor_json(run.report));
  EXPECT_EQ(json["ok"], true);
  EXPECT_THAT(json["hints"][0].get<std::string>(), HasSubstr("--doctor --extension <its id>"));
  std::vector<std::string> names;
  for (const JsonValue& check : json["checks"]) {
    EXPECT_EQ(check["ok"], true);
    EXPECT_EQ(check.size(), 5u);  // advice, detail, name, notes, ok
    names.push_back(check["name"]);
  }
  EXPECT_THAT(names, ::testing::ElementsAre("registration Chrome", "registration Chromium",
                                            "registration Edge", "registration Brave",
                                            "registration Vivaldi", "registration Firefox",
                                            "program for Chrome, Chromium, Edge, Brave, Vivaldi",
                                            "program for Firefox", "state folder", "ledger lock",
                                            "ledger", "print system", "log"));
}

// A print system whose listing hangs until the test lets it go; it touches nothing of itself
// after saying it has returned, so that the test may end then.
class HangingPrintSystem final : public PrintSystem {
 public:
  std::promise<void> release;
  std::shared_ptr<std::promise<void>> returned = std::make_shared<std::promise<void>>();

  Result<std::vector<QueueStatus>> queues() override {
    const std::shared_future<void> gate = gate_;
    const std::shared_ptr<std::promise<void>> done = returned;
    gate.wait();
    Result<std::vector<QueueStatus>> none = fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "gone");
    done->set_value();
    return none;
  }
  std::string_view queue_uri() const override { return "hanging"; }
  std::string default_queue() override { return ""; }
  JobProgress job_progress(std::string_view, std::uint32_t) override {
    return JobProgress::unknown;
  }
  Result<PrinterDetails> printer_details(std::string_view) override {
    return fail(ErrorCode::IO_ERROR, "");
  }
  std::expected<std::unique_ptr<LabelDocument>, PrintFailure> open_label_document(
      std::string_view, const std::optional<MediaRequest>&) override {
    return std::unexpected(label_does_not_fit());
  }
  std::expected<std::unique_ptr<RawDocument>, PrintFailure> open_raw_document(
      std::string_view, const std::optional<MediaRequest>&) override {
    return std::unexpected(label_does_not_fit());
  }
  PrintFailure label_does_not_fit() const override { return {}; }

 private:
  std::shared_future<void> gate_ = release.get_future().share();
};

TEST(Doctor, APrintSystemThatHangsCostsItsLineWithinTheLimit) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  install_for_the_user(system);
  FakeStateFiles files;
  HangingPrintSystem printing;
  const DoctorRun run = run_doctor(
      DoctorServices{system,
                     files,
                     printing,
                     HOST_VERSION,
                     {},
                     DoctorLimits{std::chrono::seconds(5), std::chrono::milliseconds(50)}});
  const std::string text = doctor_text(run.report);
  printing.release.set_value();
  printing.returned->get_future().wait();

  EXPECT_TRUE(run.left_running);
  EXPECT_EQ(doctor_exit_status(run.report), 1);
  EXPECT_THAT(text, HasSubstr("\nFAIL print system: the print system gave no answer within 50 ms; "
                              "to fix: restart CUPS (systemctl restart cups)\nok   log: "));
  EXPECT_THAT(text, ::testing::EndsWith("1 of 11 checks failed\n"));
}

// Arguments and log lines may hold any bytes; the report is UTF-8 JSON all the same.
TEST(Doctor, AnExtensionThatIsNoIdFailsItsOwnCheckAndTheJsonStaysUtf8) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  install_for_the_user(system);
  FakeStateFiles files;
  FakePrintSystem printing;
  const DoctorRun run = run_doctor(
      DoctorServices{system, files, printing, HOST_VERSION, {"caf\xC3", "a+b@example.com"}});
  const JsonValue json = JsonValue::parse(doctor_json(run.report));  // throws on bad UTF-8
  EXPECT_EQ(json["checks"][0]["name"], "extension caf\xEF\xBF\xBD");
  EXPECT_EQ(json["checks"][1]["ok"], false);
  EXPECT_TRUE(json["hints"].empty());
}

}  // namespace
}  // namespace vantrel
