// A whole run of the update procedure in-process: an install folder, the loopback server
// as the update server, and the updater's object set up on them as the window sets it up.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "loopback_server.h"
#include "test_util.h"
#include "ui/update_dlg.h"

namespace testutil {

class RunFixture : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        dlg.reset(new CUpdateDlg);
        snprintf(dlg->m_gameDir, sizeof(dlg->m_gameDir), "%s", dir.Path().c_str());
        snprintf(dlg->m_serverUrl, sizeof(dlg->m_serverUrl), "%s/DownLoad/",
                 server.BaseUrl().c_str());
        snprintf(dlg->m_downloadBase, sizeof(dlg->m_downloadBase), "%s/DownLoad//",
                 server.BaseUrl().c_str());
        snprintf(dlg->m_packageName, sizeof(dlg->m_packageName), "Vadarodazu");
        dlg->m_log.Open(dir.Join("updatelog.txt").c_str());
        dlg->m_transfer.SetTimeouts(3000, 2000);
    }
    void TearDown() override {
        dlg.reset();
        EndStdoutCapture(HasFailure());
    }

    // True when RunUpdate returned, false when it threw.
    bool Run() {
        try {
            dlg->RunUpdate();
            return true;
        } catch (...) {
            return false;
        }
    }
    // Requests for a file of the release.
    int Fetches(const std::string& name) {
        return server.Requests("/DownLoad//Vadarodazu/" + name);
    }
    std::string Installed(const std::string& name) { return ReadFile(dir.Join(name)); }

    TempDir dir;
    FixedEnvironment env;
    LoopbackServer server;
    std::unique_ptr<CUpdateDlg> dlg;
};

}  // namespace testutil
