// Run hooks: with a message hook a verbose run writes nothing to stdout and hands every line to the
// hook; the era progress marks reach a progress hook; a set token is visible through the record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/run.h"

namespace {

struct Sink {
    std::mutex m;
    std::vector<std::pair<int, std::string>> messages;
    std::vector<std::string> stages;
};

void on_message(int level, const char* tag, const char* text, void* user) {
    auto* s = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(s->m);
    s->messages.emplace_back(level, std::string(tag) + "|" + text);
}

void on_progress(const char* stage, double, double, void* user) {
    auto* s = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(s->m);
    s->stages.emplace_back(stage);
}

TEST(RunHooks, MessagesAndProgressGoToHooksNotStdout) {
    NVXConfig c{};
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << (err ? err : "");
    c.verbose = 1;
    c.show_progress = 1;
    Sink sink;
    NVXRunHooks hooks{on_message, on_progress, &sink, nullptr, NVX_MSG_LOG};
    c.hooks = &hooks;
    NVXResults res{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = didiva_run(&c, nullptr, &res, &err);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string errtext = testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0) << (err ? err : "");
    EXPECT_EQ(out, "");
    EXPECT_EQ(errtext, "");
    bool saw_banner = false, saw_opts = false;
    for (const auto& [level, text] : sink.messages) {
        if (level == NVX_MSG_TEXT && text.find("Welcome to NUVEX") != std::string::npos) saw_banner = true;
        if (level == NVX_MSG_LOG && text.rfind("opts|backend", 0) == 0) saw_opts = true;
    }
    EXPECT_TRUE(saw_banner);
    EXPECT_TRUE(saw_opts);
    // A cold cache adds the table-building stages first; the era marks follow in order.
    std::vector<std::string> eras;
    for (const std::string& s : sink.stages)
        if (s == "HT" || s == "MT" || s == "LT" || s == "done") eras.push_back(s);
    EXPECT_EQ(eras, (std::vector<std::string>{"HT", "MT", "LT", "done"}));
    EXPECT_EQ(sink.stages.back(), "done");
    didiva_results_free(&res);
    nvx_config_free(&c);
}

TEST(RunHooks, MinLevelDropsLogLinesAndTokenIsSeen) {
    NVXConfig c{};
    Sink sink;
    NVXCancelToken token{};
    NVXRunHooks hooks{on_message, nullptr, &sink, &token, NVX_MSG_WARNING};
    c.hooks = &hooks;
    nvx_log(&c, "bg", "dropped %d", 1);
    nvx_message(&c, NVX_MSG_WARNING, "bg", "kept %d", 2);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].second, "bg|kept 2");
    EXPECT_FALSE(nvx_run_cancelled(&c));
    nvx_cancel_request(&token);
    EXPECT_TRUE(nvx_run_cancelled(&c));
    nvx_cancel_reset(&token);
    EXPECT_FALSE(nvx_run_cancelled(&c));
    EXPECT_EQ(nvx_progress(&c, "HT", 0, 0), 0);  // no progress hook: the caller prints its marks
}

}  // namespace
