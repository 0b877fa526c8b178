// A signed release: the manifest is applied only when its detached signature, made with
// the maker's secret key, verifies over the exact bytes that arrived; its serial must
// not go back, and every file must carry its BLAKE2b digest.
#include <cstring>
#include <string>

#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/signature.h"
#include "platform/platform.h"
#include "ui/update_dlg.h"

std::string CUpdateDlg::ReadSignedManifest(const char* manifestPath, int64_t installedSerial) {
    unsigned char key[kPublicKeyBytes];
    if (!ParseKeyText(m_releaseKey, key, sizeof(key))) {
        m_log.WriteLine("发布公钥不对，更新失败");
        throw 0;
    }
    std::string manifest;
    if (!platform::ReadWholeFile(manifestPath, kMaxManifestBytes, manifest)) {
        m_log.WriteLine("服务器的清单不是XML文件，更新失败");
        throw 0;
    }

    char sigName[256], sigPath[256];
    RequirePath(m_log,
                FormatText(sigName, sizeof(sigName), "%s.xml.sig", m_packageName) &&
                    FormatText(sigPath, sizeof(sigPath), "%s.sig", manifestPath),
                m_packageName);
    m_log.WriteLine("开始下载签名文件");
    try {
        DownloadFile(sigName, "/Update/", kUnknownSize);
    } catch (...) {
        m_log.WriteLine("没有拿到清单的签名，更新失败");
        throw;
    }
    std::string signature;
    const bool sigRead =
        platform::ReadWholeFile(sigPath, kMostSignatures * kSignatureBytes, signature);
    platform::RemoveFile(sigPath);
    if (!sigRead || !VerifySignature(manifest.data(), manifest.size(), signature.data(),
                                     signature.size(), key)) {
        m_log.WriteLine("清单的签名不对，更新失败");
        throw 0;
    }
    m_log.WriteLine("清单的签名验证通过");

    int64_t serial = kNoSerial;
    if (!ParseManifestBytes(manifest, m_newEntries, m_newCount, &serial)) {
        m_log.WriteLine("服务器的清单不是XML文件，更新失败");
        throw 0;
    }
    if (serial == kNoSerial) {
        m_log.WriteLine("签名的清单没有版本号，更新失败");
        throw 0;
    }
    if (serial < installedSerial) {
        // An older signed release served again would put back what a later one fixed.
        m_log.WriteLine("清单的版本号%s低于已安装的%s，更新失败", std::to_string(serial).c_str(),
                        std::to_string(installedSerial).c_str());
        throw 0;
    }
    for (int i = 0; i < m_newCount; ++i) {
        if (!IsBlake2bText(m_newEntries[i].blake2b)) {
            m_log.WriteLine("清单缺少BLAKE2b校验值，更新失败:%s", m_newEntries[i].filename);
            throw 0;
        }
    }
    return manifest;
}
