#include "manifest/manifest.h"

#include <tinyxml.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "log/update_log.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/text.h"

namespace {

const char kMd5XmlTemplate[] = "<root><file md5='16085a088811d2b3c0593698877b4b65' /></root>";

// Copies at most `size - 1` bytes of `text` into `field` (cleared first), never
// splitting a double-byte character. Returns false when the text did not fit.
bool CopyField(char* field, size_t size, const char* text) {
    memset(field, 0, size);
    if (!text) return true;
    size_t i = 0;
    while (text[i]) {
        const size_t width = GbkCharWidth(text + i);
        if (i + width > size - 1) return false;
        memcpy(field + i, text + i, width);
        i += width;
    }
    return true;
}

// "\" becomes "/", except where a "\" byte is the second half of a GBK character.
void ToForwardSlashes(char* name) {
    for (size_t i = 0; name[i]; ++i) {
        if (GbkCharWidth(name + i) == 2) {
            ++i;
        } else if (name[i] == '\\') {
            name[i] = '/';
        }
    }
}

// The document printed as TinyXML prints it, with every line ended by CR LF as the
// Windows runtime writes text files, so the file has the same bytes on every system.
std::string XmlBytes(const TiXmlDocument& doc) {
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\r\n");
    doc.Accept(&printer);
    return std::string(printer.CStr(), printer.Size());
}

bool SaveXml(const TiXmlDocument& doc, const char* path) {
    return platform::WriteWholeFile(path, XmlBytes(doc));
}

// Parses `text` into `doc` as TinyXML's LoadFile does (line ends normalised to LF, the
// encoding detected), but from a buffer that ends in several NULs: TinyXML's character
// reader can step up to three bytes past the terminator on a truncated multi-byte
// sequence, and the bytes come from the server.
bool ParseXml(TiXmlDocument& doc, const std::string& text) {
    std::string normalised;
    normalised.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normalised += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            normalised += text[i];
        }
    }
    normalised.append(16, '\0');
    doc.Parse(normalised.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return !doc.Error();
}

// Loads `path` into `doc` by ParseXml.
bool LoadXml(TiXmlDocument& doc, const char* path) {
    std::string text;
    if (!platform::ReadWholeFile(path, SIZE_MAX, text)) {
        // Not read again by TinyXML: what OpenFile refused (a link, a pipe) stays unread.
        doc.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    return ParseXml(doc, text);
}

// The records of a loaded manifest.
void ReadEntries(const TiXmlDocument& doc, ManifestEntry* entries, int& count, int64_t* serial,
                 int64_t* expires = nullptr) {
    count = 0;
    if (serial) *serial = kNoSerial;
    if (expires) *expires = kNoExpiry;
    const TiXmlElement* root = doc.FirstChildElement();
    if (!root) return;
    if (serial) *serial = ParseSerial(root->Attribute("serial"));
    if (expires) *expires = ParseUtcTime(root->Attribute("expires"));
    for (const TiXmlElement* el = root->FirstChildElement("file"); el && count < kManifestCapacity;
         el = el->NextSiblingElement()) {
        ManifestEntry& e = entries[count];
        e.nameTooLong =
            CopyField(e.filename, sizeof(e.filename), el->Attribute("filename")) ? 0 : 1;
        ToForwardSlashes(e.filename);
        e.md5TooLong = CopyField(e.md5, sizeof(e.md5), el->Attribute("md5")) ? 0 : 1;
        CopyField(e.blake2b, sizeof(e.blake2b), el->Attribute("blake2b"));
        CopyField(e.blocks, sizeof(e.blocks), el->Attribute("blocks"));
        e.size = ParseSizeText(el->Attribute("size"));
        ++count;
    }
}

}  // namespace

int64_t ParseSerial(const char* text) {
    if (!text || !*text || strlen(text) > 18) return kNoSerial;
    int64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return kNoSerial;
        value = value * 10 + (*p - '0');
    }
    return value;
}

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool DigitsAt(const char* text, int count, unsigned* value) {
    *value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *value = *value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

int64_t ParseUtcTime(const char* text) {
    if (!text) return kNoExpiry;
    // YYYY-MM-DDTHH:MM:SSZ, nothing before or after.
    static const char kShape[] = "0000-00-00T00:00:00Z";
    if (strlen(text) != sizeof(kShape) - 1) return kBadExpiry;
    for (size_t i = 0; i < sizeof(kShape) - 1; ++i) {
        if (kShape[i] != '0' && text[i] != kShape[i]) return kBadExpiry;
    }
    unsigned y, mo, d, h, mi, s;
    if (!DigitsAt(text, 4, &y) || !DigitsAt(text + 5, 2, &mo) || !DigitsAt(text + 8, 2, &d) ||
        !DigitsAt(text + 11, 2, &h) || !DigitsAt(text + 14, 2, &mi) ||
        !DigitsAt(text + 17, 2, &s) || y < 1970 || mo < 1 || mo > 12 || d < 1 || h > 23 ||
        mi > 59 || s > 59) {
        return kBadExpiry;
    }
    // The day must exist in its month: no 31 April, no 29 February outside leap years.
    static const unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kMonthDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return kBadExpiry;
    const int64_t days = DaysFromCivil(y, mo, d);
    return days * 86400 + h * 3600 + mi * 60 + s;
}

std::string UtcTimeText(int64_t seconds) {
    int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    // The date of a day count (the inverse of DaysFromCivil).
    days += 719468;
    const int64_t era = days / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    char text[32];
    snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(y), m, d,
             static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
             static_cast<int>(rest % 60));
    return text;
}

int64_t ParseSizeText(const char* text) {
    if (!text) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint64_t value = 0;
    const uint64_t most = static_cast<uint64_t>(INT64_MAX) + 1;  // saturated past it
    for (; isdigit(*p); ++p) {
        const unsigned digit = *p - '0';
        value = value > (most - digit) / 10 ? most : value * 10 + digit;
    }
    if (negative) return value >= most ? INT64_MIN : -static_cast<int64_t>(value);
    return value >= most ? INT64_MAX : static_cast<int64_t>(value);
}

bool ParseManifest(const char* path, ManifestEntry* entries, int& count, int64_t* serial) {
    count = 0;
    if (serial) *serial = kNoSerial;
    TiXmlDocument doc(platform::NativePath(path).c_str());
    if (!LoadXml(doc, path)) {
        SaveXml(doc, path);
        return false;
    }
    ReadEntries(doc, entries, count, serial);
    return true;
}

bool ParseManifestBytes(const std::string& bytes, ManifestEntry* entries, int& count,
                        int64_t* serial, int64_t* expires) {
    count = 0;
    if (serial) *serial = kNoSerial;
    if (expires) *expires = kNoExpiry;
    TiXmlDocument doc;
    if (!ParseXml(doc, bytes)) return false;
    ReadEntries(doc, entries, count, serial, expires);
    return true;
}

std::string ManifestBytes(const ManifestEntry* entries, int count, int64_t serial,
                          int64_t expires) {
    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "GBK", ""));
    TiXmlElement* root = new TiXmlElement("files");
    if (serial > 0) root->SetAttribute("serial", std::to_string(serial).c_str());
    if (expires >= 0) root->SetAttribute("expires", UtcTimeText(expires).c_str());
    doc.LinkEndChild(root);
    for (int i = 0; i < count; ++i) {
        TiXmlElement* file = new TiXmlElement("file");
        file->SetAttribute("filename", entries[i].filename);
        file->SetAttribute("md5", entries[i].md5);
        file->SetAttribute("size", std::to_string(entries[i].size).c_str());
        if (entries[i].blake2b[0]) file->SetAttribute("blake2b", entries[i].blake2b);
        if (entries[i].blocks[0]) file->SetAttribute("blocks", entries[i].blocks);
        root->LinkEndChild(file);
    }
    return XmlBytes(doc);
}

void WriteMd5Xml(const char* gameDir, const char* md5Text, UpdateLog& log) {
    char path[256];
    if (snprintf(path, sizeof(path), "%s\\md5.xml", gameDir) >= static_cast<int>(sizeof(path))) {
        log.WriteLine("md5.xml路径太长%s", gameDir);
        return;
    }
    log.WriteLine("写md5路径%s为%s", path, md5Text);

    if (FILE* f = platform::OpenFile(path, "wb")) {
        fwrite(kMd5XmlTemplate, 1, sizeof(kMd5XmlTemplate) - 1, f);
        fclose(f);
    } else {
        platform::ShowMessage("1");
    }

    TiXmlDocument doc(platform::NativePath(path).c_str());
    if (!LoadXml(doc, path)) {
        platform::ShowMessage("Could not load test file '%s'. Error='%s'. Exiting.\n", path,
                              doc.ErrorDesc());
    }
    if (TiXmlElement* root = doc.FirstChildElement()) {
        for (TiXmlElement* el = root->FirstChildElement("file"); el;
             el = el->NextSiblingElement()) {
            el->SetAttribute("md5", md5Text);
        }
    }
    SaveXml(doc, path);
}

namespace {

bool IsDeviceName(const char* segment, size_t len) {
    // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, CLOCK$, with or without an
    // extension, and with trailing spaces (Windows drops them).
    size_t base = 0;
    while (base < len && segment[base] != '.') ++base;
    while (base > 0 && segment[base - 1] == ' ') --base;
    char upper[8] = {0};
    if (base < 3 || base > 7) return false;
    for (size_t i = 0; i < base; ++i) {
        upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(segment[i])));
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
        if (!strcmp(upper, device)) return true;
    }
    return base == 4 && (!strncmp(upper, "COM", 3) || !strncmp(upper, "LPT", 3)) &&
           upper[3] >= '1' && upper[3] <= '9';
}

bool IsSafeSegment(const char* segment, size_t len) {
    if (len == 0 || (len == 1 && segment[0] == '.')) return true;  // "a//b", "./a"
    bool onlyDotsAndSpaces = true;
    for (size_t i = 0; i < len; ++i) {
        if (segment[i] != '.' && segment[i] != ' ') onlyDotsAndSpaces = false;
    }
    if (onlyDotsAndSpaces) return false;  // "..", "...", ". ."
    return !IsDeviceName(segment, len);
}

bool EqualsIgnoringCase(const char* a, size_t len, const char* b) {
    if (strlen(b) != len) return false;
    for (size_t i = 0; i < len; ++i) {
        if (tolower(static_cast<unsigned char>(a[i])) !=
            tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsSafeEntryName(const char* name) {
    // Bytes that are not whole GBK characters, or that the system would turn into other
    // characters, could name another file than the one every check here looked at.
    if (!IsValidGbk(name) || !platform::IsConvertibleName(name)) return false;
    const char* p = name;
    // A leading separator stays inside: the install folder is always joined in front.
    while (IsSeparator(*p)) ++p;
    const char* segment = p;
    for (;; p += GbkCharWidth(p)) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\0' || IsSeparator(*p)) {
            const size_t len = static_cast<size_t>(p - segment);
            if (!IsSafeSegment(segment, len)) return false;
            // The last part names the file itself.
            if (c == '\0') return len > 0 && !(len == 1 && segment[0] == '.');
            segment = p + 1;
            continue;
        }
        if (c < 0x20 || c == 0x7F || strchr(":*?\"<>|", c)) return false;
    }
}

bool HasMd5Text(const ManifestEntry& entry) {
    if (entry.md5TooLong || strlen(entry.md5) != 32) return false;
    for (const char* p = entry.md5; *p; ++p) {
        if (!isxdigit(static_cast<unsigned char>(*p))) return false;
    }
    return true;
}

bool IsSafeEntryName(const ManifestEntry& entry) {
    return !entry.nameTooLong && IsSafeEntryName(entry.filename);
}

bool IsUpdaterOwnName(const char* name, const char* packageName) {
    // The parts of the name, separators and "." parts left out.
    const char* parts[2] = {nullptr, nullptr};
    size_t lengths[2] = {0, 0};
    int count = 0;
    for (const char* p = name; *p;) {
        while (IsSeparator(*p)) ++p;
        const char* start = p;
        while (*p && !IsSeparator(*p)) p += GbkCharWidth(p);
        const size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && *start == '.')) continue;
        if (count < 2) {
            parts[count] = start;
            lengths[count] = len;
        }
        ++count;
    }
    if (count == 0) return false;
    // The temporary tree, and the files the updater keeps beside itself.
    if (EqualsIgnoringCase(parts[0], lengths[0], "Update")) return true;
    if (count != 1) return false;
    char manifest[128], signature[128];
    snprintf(manifest, sizeof(manifest), "%s.xml", packageName);
    snprintf(signature, sizeof(signature), "%s.xml.sig", packageName);
    for (const char* own : {static_cast<const char*>(manifest), static_cast<const char*>(signature),
                            "md5.xml", "updatelog.txt", "pending-replacements.txt"}) {
        if (EqualsIgnoringCase(parts[0], lengths[0], own)) return true;
    }
    return false;
}
