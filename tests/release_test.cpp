// Signed releases: the digest and the signature check against published answers, the
// manifest's serial and BLAKE2b attributes, and whole runs of an updater that holds the
// maker's public key against releases that are signed, forged or replayed.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "digest/blake2b.h"
#include "digest/signature.h"
#include "loopback_server.h"
#include "manifest/manifest.h"
#include "platform/clock.h"
#include "run_fixture.h"
#include "session/release.h"
#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::Reply;
using testutil::TempDir;
using testutil::WriteFile;

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

using testutil::Blake2bOf;
using testutil::File;

TEST(Blake2bTest, KnownAnswersWholeAndInPieces) {
    EXPECT_EQ(Blake2bOf(""), "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
    EXPECT_EQ(Blake2bOf("abc"), "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");

    // Fed in uneven pieces (across the 128-byte blocks), and after a Final the object
    // starts over.
    std::string data;
    for (int i = 0; i < 300000; ++i) data += static_cast<char>(i * 131 % 251);
    Blake2b hash;
    char first[kBlake2bTextSize], second[kBlake2bTextSize];
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 1000 + 1) {
        hash.Update(data.data() + at, std::min(step, data.size() - at));
    }
    hash.Final(first);
    EXPECT_EQ(first, Blake2bOf(data));
    hash.Update("abc", 3);
    hash.Final(second);
    EXPECT_STREQ(second, "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");

    TempDir dir;
    WriteFile(dir.Join("f.bin"), data);
    char file[kBlake2bTextSize];
    ASSERT_TRUE(FileBlake2b(dir.Join("f.bin").c_str(), file));
    EXPECT_EQ(file, Blake2bOf(data));
    EXPECT_FALSE(FileBlake2b(dir.Join("missing").c_str(), file));
    EXPECT_STREQ(file, "");

    EXPECT_TRUE(IsBlake2bText(first));
    EXPECT_FALSE(IsBlake2bText(""));
    EXPECT_FALSE(IsBlake2bText(std::string(first, 63).c_str()));
    EXPECT_FALSE(IsBlake2bText((std::string(first) + "0").c_str()));
    EXPECT_FALSE(IsBlake2bText(std::string(64, 'A').c_str()));  // the manifest's are lower case
}

// Test vectors 1 and 2 of Ed25519 (RFC 8032, section 7.1).
struct Vector {
    const char* publicKey;
    const char* message;
    const char* signature;
};
const Vector kVectors[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
};

TEST(SignatureTest, PublishedVectorsVerifyAndAnyChangeFails) {
    for (const Vector& v : kVectors) {
        unsigned char key[kPublicKeyBytes];
        ASSERT_TRUE(ParseKeyText(v.publicKey, key, sizeof(key)));
        const std::string message = FromHex(v.message);
        const std::string sig = FromHex(v.signature);
        EXPECT_TRUE(VerifySignature(message.data(), message.size(), sig.data(), sig.size(), key));

        std::string changed = sig;
        changed[10] ^= 1;
        EXPECT_FALSE(
            VerifySignature(message.data(), message.size(), changed.data(), changed.size(), key));
        EXPECT_FALSE(
            VerifySignature(message.data(), message.size(), sig.data(), sig.size() - 1, key));
        const std::string longer = sig + "x";
        EXPECT_FALSE(
            VerifySignature(message.data(), message.size(), longer.data(), longer.size(), key));
        const std::string other = message + "x";
        EXPECT_FALSE(VerifySignature(other.data(), other.size(), sig.data(), sig.size(), key));
    }
    unsigned char second[kPublicKeyBytes];
    ASSERT_TRUE(ParseKeyText(kVectors[1].publicKey, second, sizeof(second)));
    const std::string sig = FromHex(kVectors[0].signature);
    EXPECT_FALSE(VerifySignature("", 0, sig.data(), sig.size(), second));
}

TEST(SignatureTest, KeyTextsAndAFreshPairSignAndVerify) {
    unsigned char key[kPublicKeyBytes];
    const std::string text = kVectors[0].publicKey;
    EXPECT_TRUE(ParseKeyText(" " + text + "\r\n", key, sizeof(key)));
    EXPECT_EQ(KeyText(key, sizeof(key)), text);
    EXPECT_FALSE(ParseKeyText(text.substr(2), key, sizeof(key)));
    EXPECT_FALSE(ParseKeyText(text + "00", key, sizeof(key)));
    EXPECT_FALSE(ParseKeyText("zz" + text.substr(2), key, sizeof(key)));
    EXPECT_FALSE(ParseKeyText(text.substr(0, 32) + " " + text.substr(33), key, sizeof(key)));
    EXPECT_FALSE(ParseKeyText("", key, sizeof(key)));

    unsigned char pk[kPublicKeyBytes], sk[kSecretKeyBytes], otherPk[kPublicKeyBytes],
        otherSk[kSecretKeyBytes];
    GenerateKeyPair(pk, sk);
    GenerateKeyPair(otherPk, otherSk);
    EXPECT_NE(KeyText(pk, sizeof(pk)), KeyText(otherPk, sizeof(otherPk)));
    unsigned char sig[kSignatureBytes];
    Sign("release", 7, sk, sig);
    EXPECT_TRUE(VerifySignature("release", 7, sig, sizeof(sig), pk));
    EXPECT_FALSE(VerifySignature("release", 7, sig, sizeof(sig), otherPk));

    // A file of several signatures (a key being replaced): one by the key is enough,
    // wherever it stands; only whole signatures, and not too many of them.
    unsigned char otherSig[kSignatureBytes];
    Sign("release", 7, otherSk, otherSig);
    std::string both(reinterpret_cast<char*>(otherSig), sizeof(otherSig));
    both.append(reinterpret_cast<char*>(sig), sizeof(sig));
    EXPECT_TRUE(VerifySignature("release", 7, both.data(), both.size(), pk));
    EXPECT_TRUE(VerifySignature("release", 7, both.data(), both.size(), otherPk));
    EXPECT_FALSE(VerifySignature("release", 7, both.data(), both.size() - 1, pk));
    EXPECT_FALSE(VerifySignature("release", 7, both.data() + 1, both.size() - 1, pk));
    std::string many(reinterpret_cast<char*>(otherSig), sizeof(otherSig));
    for (size_t i = 1; i < kMostSignatures; ++i) many += many.substr(0, kSignatureBytes);
    EXPECT_FALSE(VerifySignature("release", 7, many.data(), many.size(), pk));
    EXPECT_TRUE(VerifySignature("release", 7, many.data(), many.size(), otherPk));
    many.append(reinterpret_cast<char*>(sig), sizeof(sig));  // one more than the most
    EXPECT_FALSE(VerifySignature("release", 7, many.data(), many.size(), pk));
}

TEST(SignedManifestTest, SerialAndBlake2bAreReadAndWritten) {
    std::vector<ManifestEntry> entries(kManifestCapacity);
    int count = 0;
    int64_t serial = 0;
    const std::string head = "<?xml version=\"1.0\" ?>";
    const char* file = "<file filename='a' md5='900150983cd24fb0d6963f7d28e17f72' size='3'";
    ASSERT_TRUE(ParseManifestBytes(
        head + "<files serial='42'>" + file + " blake2b='" + Blake2bOf("abc") + "'/></files>",
        entries.data(), count, &serial));
    EXPECT_EQ(serial, 42);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(entries[0].blake2b, Blake2bOf("abc"));
    for (const char* bad : {"", "-1", "+3", "3x", " 3", "1e3", "9999999999999999999"}) {
        ASSERT_TRUE(ParseManifestBytes(head + "<files serial='" + bad + "'>" + file + "/></files>",
                                       entries.data(), count, &serial));
        EXPECT_EQ(serial, kNoSerial) << bad;
        EXPECT_STREQ(entries[0].blake2b, "");
    }
    ASSERT_TRUE(
        ParseManifestBytes(head + "<files>" + file + "/></files>", entries.data(), count, &serial));
    EXPECT_EQ(serial, kNoSerial);
    EXPECT_FALSE(ParseManifestBytes("<files>", entries.data(), count, &serial));

    // Written and read back unchanged; an unsigned manifest carries neither attribute.
    snprintf(entries[0].blake2b, sizeof(entries[0].blake2b), "%s", Blake2bOf("x").c_str());
    const std::string written = ManifestBytes(entries.data(), 1, 123456789012LL);
    std::vector<ManifestEntry> back(kManifestCapacity);
    ASSERT_TRUE(ParseManifestBytes(written, back.data(), count, &serial));
    EXPECT_EQ(serial, 123456789012LL);
    EXPECT_STREQ(back[0].blake2b, entries[0].blake2b);
    EXPECT_STREQ(back[0].md5, entries[0].md5);
    entries[0].blake2b[0] = '\0';
    const std::string plain = ManifestBytes(entries.data(), 1);
    EXPECT_EQ(plain.find("serial"), std::string::npos);
    EXPECT_EQ(plain.find("blake2b"), std::string::npos);
    EXPECT_EQ(plain.find("expires"), std::string::npos);
}

TEST(SignedManifestTest, ExpiryTimes) {
    const struct {
        const char* text;
        int64_t seconds;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-08T09:30:05Z", 1796722205},
        {"2000-02-29T23:59:59Z", 951868799},   // a leap day of a century divisible by 400
        {"2038-01-19T03:14:08Z", 2147483648},  // past 32-bit seconds
        {"9999-12-31T23:59:59Z", 253402300799},
        {"1900-02-29T00:00:00Z", kBadExpiry},  // not a leap year
        {"2027-04-31T00:00:00Z", kBadExpiry},
        {"2027-13-01T00:00:00Z", kBadExpiry},
        {"2027-01-01T24:00:00Z", kBadExpiry},
        {"1969-12-31T23:59:59Z", kBadExpiry},
        {"2027-01-01 00:00:00Z", kBadExpiry},
        {"2027-01-01T00:00:00", kBadExpiry},
        {"2027-01-01T00:00:00+08:00", kBadExpiry},
        {"+027-01-01T00:00:00Z", kBadExpiry},
        {"", kBadExpiry},
        {nullptr, kNoExpiry},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseUtcTime(c.text), c.seconds) << (c.text ? c.text : "(none)");
        if (c.seconds >= 0) {
            EXPECT_EQ(UtcTimeText(c.seconds), c.text);
        }
    }
    std::vector<ManifestEntry> entries(kManifestCapacity), back(kManifestCapacity);
    snprintf(entries[0].filename, sizeof(entries[0].filename), "a");
    int count = 0;
    int64_t serial = 0, expires = 0;
    ASSERT_TRUE(ParseManifestBytes(ManifestBytes(entries.data(), 1, 7, 1796722205), back.data(),
                                   count, &serial, &expires));
    EXPECT_EQ(expires, 1796722205);
}

// ---- the release check, and whole runs of an updater holding the maker's public key

// The maker: a key pair, and the manifests and signatures the publishing tool writes.
struct Maker {
    Maker() { GenerateKeyPair(publicKey, secretKey); }

    static std::string Manifest(const std::vector<File>& files, int64_t serial,
                                bool withBlake2b = true, int64_t expires = kNoExpiry) {
        return testutil::ReleaseManifest(files, serial, withBlake2b, expires);
    }
    std::string SignatureOf(const std::string& manifest) const {
        unsigned char sig[kSignatureBytes];
        Sign(manifest.data(), manifest.size(), secretKey, sig);
        return std::string(reinterpret_cast<char*>(sig), sizeof(sig));
    }
    std::string Key() const { return KeyText(publicKey, sizeof(publicKey)); }

    unsigned char publicKey[kPublicKeyBytes];
    unsigned char secretKey[kSecretKeyBytes];
};

const std::vector<File> kRelease = {{"a.txt", "abc"}, {"d/b.bin", "second file"}};
const std::vector<File> kNext = {{"a.txt", "abc v2"}, {"d/b.bin", "second file"}};
const std::vector<File> kEvil = {{"a.txt", "evil"}, {"d/b.bin", "second file"}};

// Release 2 installed; each row is what arrives, and what the check makes of it: whether
// the signature verified, and the line that refuses the release (none: applied).
TEST(ReleaseCheckTest, ForgedReplayedOrExpiredReleasesAreRefused) {
    const Maker maker, other;
    const int64_t now = 1796722205;  // 2026-12-08T09:30:05Z
    const auto signedBy = [](const Maker& m, const std::string& manifest) {
        return std::make_pair(manifest, m.SignatureOf(manifest));
    };
    const auto withExpiry = [&](const std::string& stamp) {
        std::string m = Maker::Manifest(kNext, 3);
        m.replace(m.find("<files "), 7, "<files expires=\"" + stamp + "\" ");
        return signedBy(maker, m);
    };
    const std::string evil = Maker::Manifest(kEvil, 3);
    std::string changed = Maker::Manifest(kRelease, 3);
    const std::string changedSig = maker.SignatureOf(changed);
    changed[changed.find("size=\"3\"") + 6] = '4';  // one byte, after signing
    const std::string refused = "清单的签名不对，更新失败";

    const struct {
        const char* what;
        std::pair<std::string, std::string> release;  // manifest, signature
        int64_t installed, floor;
        bool signatureGood;
        std::string refusal;
    } rows[] = {
        {"the next release", signedBy(maker, Maker::Manifest(kNext, 3)), 2, 0, true, ""},
        {"the installed release again", signedBy(maker, Maker::Manifest(kNext, 2)), 2, 0, true, ""},
        {"an empty signature", {evil, ""}, 2, 0, false, refused},
        {"a truncated signature",
         {evil, maker.SignatureOf(evil).substr(0, 63)},
         2,
         0,
         false,
         refused},
        {"the signature of another manifest",
         {evil, maker.SignatureOf(Maker::Manifest(kNext, 2))},
         2,
         0,
         false,
         refused},
        {"signed with another key", signedBy(other, evil), 2, 0, false, refused},
        {"one byte changed after signing", {changed, changedSig}, 2, 0, false, refused},
        {"an older signed release", signedBy(maker, Maker::Manifest(kRelease, 1)), 2, 0, true,
         "清单的版本号1低于已安装的2，更新失败"},
        {"signed without a serial", signedBy(maker, Maker::Manifest(kEvil, 0)), 2, 0, true,
         "签名的清单没有版本号，更新失败"},
        {"signed without BLAKE2b digests", signedBy(maker, Maker::Manifest(kEvil, 3, false)), 2, 0,
         true, "清单缺少BLAKE2b校验值，更新失败:a.txt"},
        {"signed, and no XML", signedBy(maker, "<files><file"), 2, 0, true,
         "服务器的清单不是XML文件，更新失败"},
        {"nothing installed, below the build's floor", signedBy(maker, Maker::Manifest(kNext, 4)),
         kNoSerial, 5, true, "清单的版本号4低于这个更新程序接受的5，更新失败"},
        {"nothing installed, at the build's floor", signedBy(maker, Maker::Manifest(kNext, 5)),
         kNoSerial, 5, true, ""},
        {"installed below the floor, the next release", signedBy(maker, Maker::Manifest(kNext, 3)),
         2, 5, true, ""},
        {"expires in a second", signedBy(maker, Maker::Manifest(kNext, 3, true, now + 1)), 2, 0,
         true, ""},
        {"expires now", signedBy(maker, Maker::Manifest(kNext, 3, true, now)), 2, 0, true, ""},
        {"expired a second ago", signedBy(maker, Maker::Manifest(kNext, 3, true, now - 1)), 2, 0,
         true, "清单已过期(有效期到2026-12-08T09:30:04Z，本机时间2026-12-08T09:30:05Z)，更新失败"},
        {"an expiry that is no time", withExpiry("tomorrow"), 2, 0, true,
         "清单的有效期不对，更新失败"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ReleaseRules rules;
        rules.publicKeyText = maker.Key();
        rules.installedSerial = row.installed;
        rules.minSerial = row.floor;
        rules.now = now;
        std::vector<ManifestEntry> entries(kManifestCapacity);
        int count = -1;
        const ReleaseVerdict verdict =
            CheckSignedRelease(row.release.first, row.release.second, rules, entries.data(), count);
        EXPECT_EQ(verdict.signatureGood, row.signatureGood);
        EXPECT_EQ(verdict.refusal, row.refusal);
        if (row.refusal.empty()) {
            ASSERT_EQ(count, 2);
            EXPECT_STREQ(entries[0].blake2b, Blake2bOf("abc v2").c_str());
        }
    }

    // A build whose key is no key takes nothing.
    ReleaseRules broken;
    broken.publicKeyText = "zz";
    std::vector<ManifestEntry> entries(kManifestCapacity);
    int count = 0;
    const auto good = signedBy(maker, Maker::Manifest(kNext, 3));
    EXPECT_EQ(CheckSignedRelease(good.first, good.second, broken, entries.data(), count).refusal,
              "发布公钥不对，更新失败");
}

class SignedRunTest : public testutil::RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        options.releaseKey = maker.Key();
    }
    void TearDown() override {
        platform::SetUtcSecondsForTesting(nullptr);
        RunFixture::TearDown();
    }

    static std::string Manifest(const std::vector<File>& files, int64_t serial) {
        return Maker::Manifest(files, serial);
    }
    std::string SignatureOf(const std::string& manifest) { return maker.SignatureOf(manifest); }
    // Serves `manifest` with `signature` (none when null) and the files' bodies.
    void Serve(const std::string& manifest, const std::string* signature,
               const std::vector<File>& files) {
        ServeRelease(manifest, files, signature);
    }
    void ServeSigned(const std::vector<File>& files, int64_t serial) {
        const std::string manifest = Manifest(files, serial);
        const std::string sig = SignatureOf(manifest);
        Serve(manifest, &sig, files);
    }
    int FileFetches() {
        return server.TotalRequests() - server.Requests(ManifestPath()) -
               server.Requests(SignaturePath());
    }
    std::string Log() { return ReadFile(dir.Join("updatelog.txt")); }

    Maker maker;
};

TEST_F(SignedRunTest, ASignedReleaseIsInstalledAndItsBytesKept) {
    ServeSigned(kRelease, 1);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Installed("a.txt"), "abc");
    EXPECT_EQ(Installed("d/b.bin"), "second file");
    EXPECT_EQ(Installed("Vadarodazu.xml"), Manifest(kRelease, 1));
    EXPECT_FALSE(testutil::Exists(dir.Join("Update/Vadarodazu.xml.sig")));
    EXPECT_NE(Log().find("清单的签名验证通过"), std::string::npos);

    // Nothing changed: only the manifest and its signature are fetched; the same serial
    // again is no replay.
    const int before = server.TotalRequests();
    ASSERT_TRUE(Run());
    EXPECT_EQ(server.TotalRequests() - before, 2);

    ServeSigned(kNext, 2);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Installed("a.txt"), "abc v2");
    EXPECT_EQ(Installed("Vadarodazu.xml"), Manifest(kNext, 2));
}

// A refused release, as a run meets it: the run fails before any file is fetched, and
// the install, its manifest and md5.xml stay as the signed release 2 left them. The rows
// are what only a run does: fetching the signature, reading the installed serial, the
// build's floor and the clock.
TEST_F(SignedRunTest, ForgedMissingOrReplayedManifestsInstallNothing) {
    ServeSigned(kNext, 2);
    ASSERT_TRUE(Run());
    const std::string manifestBefore = Installed("Vadarodazu.xml");
    const std::string md5XmlBefore = Installed("md5.xml");

    const Maker other;
    const std::string evilManifest = Manifest(kEvil, 3);
    const std::string older = Manifest(kRelease, 1);
    const std::string expiring = Maker::Manifest(kEvil, 3, true, 1796722205);
    const struct {
        const char* what;
        std::string manifest;
        bool hasSignature;
        std::string signature;
        const char* logLine;
    } forgeries[] = {
        {"no signature", evilManifest, false, "", "没有拿到清单的签名，更新失败"},
        {"a signature file of 1 MiB", evilManifest, true, std::string(1 << 20, 'x'),
         "内容超过允许的大小"},
        {"signed with another key", evilManifest, true, other.SignatureOf(evilManifest),
         "清单的签名不对，更新失败"},
        {"an older signed release", older, true, SignatureOf(older),
         "清单的版本号1低于已安装的2，更新失败"},
        {"expired by this machine's clock", expiring, true, SignatureOf(expiring),
         "清单已过期(有效期到2026-12-08T09:30:05Z，本机时间2026-12-08T09:30:06Z)"},
    };
    platform::SetUtcSecondsForTesting([]() -> int64_t { return 1796722206; });
    for (const auto& f : forgeries) {
        SCOPED_TRACE(f.what);
        server.Reset();
        Serve(f.manifest, f.hasSignature ? &f.signature : nullptr, kEvil);
        WriteFile(dir.Join("updatelog.txt"), "");
        EXPECT_FALSE(Run());
        EXPECT_EQ(FileFetches(), 0);
        EXPECT_EQ(Installed("a.txt"), "abc v2");
        EXPECT_EQ(Installed("Vadarodazu.xml"), manifestBefore);
        EXPECT_EQ(Installed("md5.xml"), md5XmlBefore);
        EXPECT_NE(Log().find(f.logLine), std::string::npos) << Log();
        EXPECT_FALSE(testutil::Exists(dir.Join("Update/Vadarodazu.xml.sig")));
    }
}

// With no installed manifest to compare with, an older signed release is refused below
// the build's floor, and taken from it on.
TEST_F(SignedRunTest, AFreshInstallTakesNoSerialBelowTheBuildsFloor) {
    options.minSerial = 5;
    for (const int64_t serial : {4, 5}) {
        SCOPED_TRACE(serial);
        server.Reset();
        ServeSigned(kRelease, serial);
        EXPECT_EQ(Run(), serial == 5);
        EXPECT_EQ(testutil::Exists(dir.Join("a.txt")), serial == 5);
        if (serial == 4) {
            EXPECT_NE(Log().find("清单的版本号4低于这个更新程序接受的5，更新失败"),
                      std::string::npos);
        }
    }
}

TEST_F(SignedRunTest, AFileThatIsNotTheSignedOneIsNeverInstalled) {
    ServeSigned(kRelease, 1);
    ASSERT_TRUE(Run());
    // The signed manifest lists "abc v2"; the server sends other bytes of that length.
    const std::string manifest = Manifest(kNext, 2);
    const std::string sig = SignatureOf(manifest);
    Serve(manifest, &sig, {{"a.txt", "evil!!"}, {"d/b.bin", "second file"}});
    EXPECT_FALSE(Run());
    EXPECT_EQ(Installed("a.txt"), "abc");
    EXPECT_EQ(Installed("Vadarodazu.xml"), Manifest(kRelease, 1));
    EXPECT_NE(Log().find("下载失败Vadarodazu/a.txt:BLAKE2b与清单不符"), std::string::npos);

    // A signed manifest whose BLAKE2b for a file is not that of the bytes its MD5 and
    // size describe (as a file made to collide in MD5 would be): refused too.
    std::string mixed = Manifest(kNext, 2);
    const std::string listed = Blake2bOf("abc v2");
    mixed.replace(mixed.find(listed), listed.size(), Blake2bOf("abc v3"));
    const std::string mixedSig = SignatureOf(mixed);
    server.Reset();
    Serve(mixed, &mixedSig, kNext);
    EXPECT_FALSE(Run());
    EXPECT_EQ(Installed("a.txt"), "abc");
    EXPECT_NE(Log().find("下载失败Vadarodazu/a.txt:BLAKE2b与清单不符"), std::string::npos);
}

// The lobby the run starts is digested even where the installed manifest lists it: a
// copy swapped for other bytes of its size is fetched again before it can be started.
TEST_F(SignedRunTest, TheLobbyIsDigestedBeforeItIsStarted) {
    const std::vector<File> release = {{"Halcyra.exe", "lobby!"}, {"a.txt", "abc"}};
    ServeSigned(release, 1);
    ASSERT_TRUE(Run());
    WriteFile(dir.Join("Halcyra.exe"), "evil!!");
    ASSERT_TRUE(Run());
    EXPECT_EQ(Installed("Halcyra.exe"), "lobby!");
    EXPECT_EQ(Fetches("Halcyra.exe"), 2);
    EXPECT_EQ(Fetches("a.txt"), 1);
}

TEST_F(SignedRunTest, FilesOnDiskCountAsCurrentOnlyByTheirBlake2b) {
    // An install made by an updater without the key: its manifest has no BLAKE2b, so
    // each file it lists is digested once; a file damaged without a change of size, which
    // the size check alone would pass, is fetched again.
    const std::string unsigned1 = "<?xml version=\"1.0\" ?><files><file filename=\"a.txt\" md5=\"" +
                                  testutil::Md5Text("abc") +
                                  "\" size=\"3\"/><file filename=\"d/b.bin\" md5=\"" +
                                  testutil::Md5Text("second file") + "\" size=\"11\"/></files>";
    WriteFile(dir.Join("Vadarodazu.xml"), unsigned1);
    WriteFile(dir.Join("a.txt"), "abc");
    platform::CreateFolder(dir.Join("d").c_str());
    WriteFile(dir.Join("d/b.bin"), "second fil!");
    ServeSigned(kRelease, 1);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Fetches("a.txt"), 0);
    EXPECT_EQ(Fetches("d/b.bin"), 1);
    EXPECT_EQ(Installed("d/b.bin"), "second file");

    // No installed manifest: a temporary copy left by an earlier run and the installed
    // files are taken by their BLAKE2b.
    server.Reset();
    ServeSigned(kNext, 2);
    platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
    platform::CreateFolder(dir.Join("Update").c_str());
    platform::CreateFolder(dir.Join("Update/Vadarodazu").c_str());
    WriteFile(dir.Join("Update/Vadarodazu/a.txt"), "abc v2");
    ASSERT_TRUE(Run());
    EXPECT_EQ(FileFetches(), 0);
    EXPECT_EQ(Installed("a.txt"), "abc v2");
}

}  // namespace
