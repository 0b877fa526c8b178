// A signed release: the manifest is applied only when its detached signature, made with
// the maker's secret key, verifies over the exact bytes that arrived; its serial must
// not go back, and every file must carry its BLAKE2b digest.
#include <ctime>
#include <string>

#include "common/failure.h"
#include "digest/blake2b.h"
#include "digest/signature.h"
#include "platform/files.h"
#include "session/update_run.h"

namespace {

[[noreturn]] void Refuse(const std::string& line, const std::string& file = {}) {
    throw UpdateFailed(FailedStep::Signature, line, file);
}

}  // namespace

std::string UpdateRun::ReadSignedManifest(int64_t installedSerial) {
    unsigned char key[kPublicKeyBytes];
    if (!ParseKeyText(m_options.releaseKey, key, sizeof(key))) Refuse("发布公钥不对，更新失败");
    std::string manifest;
    if (!platform::ReadWholeFile(m_layout.DownloadedManifest().c_str(), kMaxManifestBytes,
                                 manifest)) {
        Refuse("服务器的清单不是XML文件，更新失败");
    }

    const std::string sigName = m_layout.SignatureName();
    const std::string sigPath = m_layout.DownloadedSignature();
    InstallLayout::RequireFits(sigPath, InstallLayout::kPackageName);
    m_log.WriteLine("开始下载签名文件");
    // Eight signatures at most: a larger answer is no signature file, and ends at once.
    try {
        FetchWhole(m_layout.SignatureUrl(), sigPath, sigName, kMostSignatures * kSignatureBytes);
    } catch (UpdateFailed& failure) {
        platform::RemoveFile(sigPath.c_str());
        failure.Then("没有拿到清单的签名，更新失败");
        throw;
    } catch (...) {
        platform::RemoveFile(sigPath.c_str());
        throw;
    }
    std::string signature;
    const bool sigRead =
        platform::ReadWholeFile(sigPath.c_str(), kMostSignatures * kSignatureBytes, signature);
    platform::RemoveFile(sigPath.c_str());
    if (!sigRead || !VerifySignature(manifest.data(), manifest.size(), signature.data(),
                                     signature.size(), key)) {
        Refuse("清单的签名不对，更新失败");
    }
    m_log.WriteLine("清单的签名验证通过");

    int64_t serial = kNoSerial, expires = kNoExpiry;
    if (!ParseManifestBytes(manifest, m_newEntries.get(), m_newCount, &serial, &expires)) {
        Refuse("服务器的清单不是XML文件，更新失败");
    }
    if (serial == kNoSerial) Refuse("签名的清单没有版本号，更新失败");
    if (serial < installedSerial) {
        // An older signed release served again would put back what a later one fixed.
        Refuse("清单的版本号" + std::to_string(serial) + "低于已安装的" +
               std::to_string(installedSerial) + "，更新失败");
    }
    if (installedSerial == kNoSerial && serial < m_options.minSerial) {
        // Nothing installed to compare with: the build's own floor.
        Refuse("清单的版本号" + std::to_string(serial) + "低于这个更新程序接受的" +
               std::to_string(m_options.minSerial) + "，更新失败");
    }
    // A release signed to expire is not applied after that time (by this machine's clock,
    // shown in the line, since a clock set wrong is the first thing to look at).
    if (expires == kBadExpiry) Refuse("清单的有效期不对，更新失败");
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (expires != kNoExpiry && now > expires) {
        Refuse("清单已过期(有效期到" + UtcTimeText(expires) + "，本机时间" + UtcTimeText(now) +
               ")，更新失败");
    }
    for (int i = 0; i < m_newCount; ++i) {
        if (!IsBlake2bText(m_newEntries[i].blake2b)) {
            Refuse(std::string("清单缺少BLAKE2b校验值，更新失败:") + m_newEntries[i].filename,
                   m_newEntries[i].filename);
        }
    }
    return manifest;
}
