#include "session/release.h"

#include "digest/blake2b.h"
#include "digest/signature.h"

namespace {

ReleaseVerdict Refused(ReleaseVerdict verdict, std::string line, std::string file = {}) {
    verdict.refusal = std::move(line);
    verdict.file = std::move(file);
    return verdict;
}

}  // namespace

bool SignedByKey(const std::string& manifest, const std::string& signature,
                 const std::string& publicKeyText) {
    unsigned char key[kPublicKeyBytes];
    return ParseKeyText(publicKeyText, key, sizeof(key)) &&
           VerifySignature(manifest.data(), manifest.size(), signature.data(), signature.size(),
                           key);
}

ReleaseVerdict CheckSignedRelease(const std::string& manifest, const std::string& signature,
                                  const ReleaseRules& rules, ManifestEntry* entries, int& count) {
    ReleaseVerdict verdict;
    count = 0;
    unsigned char key[kPublicKeyBytes];
    if (!ParseKeyText(rules.publicKeyText, key, sizeof(key))) {
        return Refused(verdict, "发布公钥不对，更新失败");
    }
    if (!VerifySignature(manifest.data(), manifest.size(), signature.data(), signature.size(),
                         key)) {
        return Refused(verdict, "清单的签名不对，更新失败");
    }
    verdict.signatureGood = true;

    int64_t serial = kNoSerial, expires = kNoExpiry;
    if (!ParseManifestBytes(manifest, entries, count, &serial, &expires)) {
        return Refused(verdict, "服务器的清单不是XML文件，更新失败");
    }
    if (serial == kNoSerial) return Refused(verdict, "签名的清单没有版本号，更新失败");
    if (serial < rules.installedSerial) {
        // An older signed release served again would put back what a later one fixed.
        return Refused(verdict, "清单的版本号" + std::to_string(serial) + "低于已安装的" +
                                    std::to_string(rules.installedSerial) + "，更新失败");
    }
    if (rules.installedSerial == kNoSerial && serial < rules.minSerial) {
        // Nothing installed to compare with: the build's own floor.
        return Refused(verdict, "清单的版本号" + std::to_string(serial) + "低于这个更新程序接受的" +
                                    std::to_string(rules.minSerial) + "，更新失败");
    }
    // A release signed to expire is not applied after that time (by this machine's clock,
    // shown in the line, since a clock set wrong is the first thing to look at).
    if (expires == kBadExpiry) return Refused(verdict, "清单的有效期不对，更新失败");
    if (expires != kNoExpiry && rules.now > expires) {
        return Refused(verdict, "清单已过期(有效期到" + UtcTimeText(expires) + "，本机时间" +
                                    UtcTimeText(rules.now) + ")，更新失败");
    }
    for (int i = 0; i < count; ++i) {
        if (!IsBlake2bText(entries[i].blake2b)) {
            return Refused(verdict,
                           std::string("清单缺少BLAKE2b校验值，更新失败:") + entries[i].filename,
                           entries[i].filename);
        }
    }
    return verdict;
}
