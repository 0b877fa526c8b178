// A whole run of the updater in-process: an install folder, the loopback server as the
// update server, and a run over both.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "loopback_server.h"
#include "session/update_run.h"
#include "test_util.h"

namespace testutil {

class RunFixture : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        options.connectTimeoutMs = 3000;
        options.receiveTimeoutMs = 2000;
    }
    void TearDown() override {
        run.reset();
        EndStdoutCapture(HasFailure());
    }

    // A new run over the install folder and the loopback server, with `options`.
    UpdateRun& NewRun() {
        run.reset();
        run.reset(new UpdateRun(dir.Path(), server.BaseUrl() + "/DownLoad/", options));
        return *run;
    }
    // A whole run on this thread: true when it finished, false when it failed.
    bool Run() { return NewRun().RunHere() == RunStatus::Finished; }
    // Requests for a file of the release.
    int Fetches(const std::string& name) { return server.Requests("/DownLoad/Vadarodazu/" + name); }
    std::string Installed(const std::string& name) { return ReadFile(dir.Join(name)); }

    TempDir dir;
    FixedEnvironment env;
    LoopbackServer server;
    UpdateRun::Options options;
    std::unique_ptr<UpdateRun> run;
};

}  // namespace testutil
