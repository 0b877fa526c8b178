// The entry-name check and the path scans on arbitrary names.
//
// The input is a name, then (after a NUL) a second text for FindText and SamePath.
// For every name IsSafeEntryName accepts, split at its separators ("/" or "\" where a
// character starts, by the project's GBK scan):
//   - no segment is "..", and no segment other than "." is made only of dots and spaces;
//   - no character is ":" (drive or stream), a control character, or one of <>"|?*;
//   - its POSIX path (NativePath: GBK to UTF-8, "\" to "/") has exactly the separators
//     the scan saw, and no ".." component.
// A leading separator or a "." segment is allowed here: the install folder is always
// joined in front. Refusing more than that is never a fault.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "manifest/manifest.h"
#include "platform/text.h"

namespace {

using fuzz::Escaped;

// The segments between separators; `separators` gets the separators' offsets.
std::vector<std::string> Segments(const std::string& name, std::vector<size_t>* separators) {
    std::vector<std::string> segments(1);
    separators->clear();
    const std::vector<size_t> starts = fuzz::CharStarts(name);
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t at = starts[k];
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : name.size();
        if (IsSeparator(name[at])) {
            separators->push_back(at);
            segments.emplace_back();
        } else {
            segments.back().append(name, at, end - at);
        }
    }
    return segments;
}

void CheckAcceptedName(const std::string& name) {
    const std::string shownName = Escaped(name);
    const char* shown = shownName.c_str();

    std::vector<size_t> separators;
    for (const std::string& segment : Segments(name, &separators)) {
        FUZZ_CHECK(segment != "..", "accepted \"%s\" has a \"..\" segment", shown);
        if (!segment.empty() && segment != ".") {
            FUZZ_CHECK(segment.find_first_not_of(". ") != std::string::npos,
                       "accepted \"%s\" has the segment \"%s\"", shown, Escaped(segment).c_str());
        }
    }
    for (size_t at : fuzz::CharStarts(name)) {
        const unsigned char c = static_cast<unsigned char>(name[at]);
        FUZZ_CHECK(c >= 0x20, "accepted \"%s\" has control byte %02X at %zu", shown, c, at);
        FUZZ_CHECK(!strchr(":<>\"|?*", c), "accepted \"%s\" has '%c' at %zu", shown, c, at);
    }

    const std::string native = platform::NativePath(name.c_str());
    size_t slashes = 0;
    size_t start = 0;
    for (size_t i = 0; i <= native.size(); ++i) {
        if (i < native.size() && native[i] != '/') continue;
        if (i < native.size()) ++slashes;
        FUZZ_CHECK(native.compare(start, i - start, "..") != 0 || i - start != 2,
                   "accepted \"%s\" has the POSIX path \"%s\" with a \"..\" component", shown,
                   Escaped(native).c_str());
        start = i + 1;
    }
    FUZZ_CHECK(slashes == separators.size(),
               "accepted \"%s\" (%zu separators) has the POSIX path \"%s\" (%zu)", shown,
               separators.size(), Escaped(native).c_str(), slashes);
}

// The record form: refused whenever the parser cut the name, else as the text is.
void CheckRecordForm(const std::string& name, bool accepted) {
    ManifestEntry entry;
    memset(&entry, 0, sizeof(entry));
    if (name.size() >= sizeof(entry.filename)) return;
    memcpy(entry.filename, name.c_str(), name.size() + 1);
    FUZZ_CHECK(IsSafeEntryName(entry) == accepted, "record form disagrees on \"%s\"",
               Escaped(name).c_str());
    entry.nameTooLong = 1;
    FUZZ_CHECK(!IsSafeEntryName(entry), "a cut name \"%s\" was accepted", Escaped(name).c_str());
}

void CheckLastSeparator(const std::string& name) {
    std::vector<size_t> separators;
    Segments(name, &separators);
    const char* last = FindLastSeparator(name.c_str());
    if (separators.empty()) {
        FUZZ_CHECK(!last, "FindLastSeparator found one in \"%s\"", Escaped(name).c_str());
    } else {
        FUZZ_CHECK(last == name.c_str() + separators.back(), "FindLastSeparator(\"%s\") wrong",
                   Escaped(name).c_str());
    }
}

void CheckFindText(const std::string& text, const std::string& what) {
    const char* found = FindText(text.c_str(), what.c_str());
    if (!found) return;
    const size_t at = static_cast<size_t>(found - text.c_str());
    bool boundary = false;
    for (size_t s : fuzz::CharStarts(text)) boundary = boundary || s == at;
    FUZZ_CHECK((boundary || (at == 0 && text.empty())) && text.compare(at, what.size(), what) == 0,
               "FindText(\"%s\", \"%s\") = %zu", Escaped(text).c_str(), Escaped(what).c_str(), at);
}

// `path` spelled differently: other separators, doubled, with "./" components.
std::string Respelled(const std::string& path, int how) {
    std::string out;
    const std::vector<size_t> starts = fuzz::CharStarts(path);
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t at = starts[k];
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : path.size();
        if (IsSeparator(path[at])) {
            out += (how & 1) ? (path[at] == '/' ? '\\' : '/') : path[at];
            if (how & 2) out += "/";
            if (how & 4) out += ".\\";
        } else {
            out.append(path, at, end - at);
        }
    }
    return out;
}

// ASCII letters flipped in case: where characters start, or else only second bytes.
std::string CaseFlipped(const std::string& path, bool secondBytes, bool* changed) {
    std::string out = path;
    const std::vector<size_t> starts = fuzz::CharStarts(path);
    *changed = false;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t at = secondBytes ? starts[k] + 1 : starts[k];
        if (secondBytes && GbkCharWidth(path.c_str() + starts[k]) != 2) continue;
        const char c = out[at];
        if (c >= 'a' && c <= 'z')
            out[at] = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            out[at] = static_cast<char>(c - 'A' + 'a');
        else
            continue;
        *changed = true;
    }
    return out;
}

void CheckSamePath(const std::string& a, const std::string& b, int how) {
    const char* x = a.c_str();
    const char* y = b.c_str();
    for (bool ignoreCase : {false, true}) {
        FUZZ_CHECK(SamePath(x, x, ignoreCase), "SamePath(a, a) false for \"%s\"",
                   Escaped(a).c_str());
        FUZZ_CHECK(SamePath(x, y, ignoreCase) == SamePath(y, x, ignoreCase),
                   "SamePath not symmetric for \"%s\", \"%s\"", Escaped(a).c_str(),
                   Escaped(b).c_str());
        // Only for whole characters: after a stray lead byte, a "\\" put in the place of
        // a "/" would pair with it into one character.
        const std::string respelled = Respelled(a, how);
        FUZZ_CHECK(!IsValidGbk(x) || SamePath(x, respelled.c_str(), ignoreCase),
                   "SamePath(\"%s\", \"%s\") false", Escaped(a).c_str(),
                   Escaped(respelled).c_str());
    }
    FUZZ_CHECK(!SamePath(x, y, false) || SamePath(x, y, true),
               "same with case but not without: \"%s\", \"%s\"", Escaped(a).c_str(),
               Escaped(b).c_str());
    bool changed = false;
    const std::string flipped = CaseFlipped(a, false, &changed);
    FUZZ_CHECK(SamePath(x, flipped.c_str(), true), "case-flipped \"%s\" differs from \"%s\"",
               Escaped(flipped).c_str(), Escaped(a).c_str());
    FUZZ_CHECK(!changed || !SamePath(x, flipped.c_str(), false),
               "case-flipped \"%s\" same as \"%s\" with case", Escaped(flipped).c_str(),
               Escaped(a).c_str());
    const std::string secondFlipped = CaseFlipped(a, true, &changed);
    FUZZ_CHECK(!changed || !SamePath(x, secondFlipped.c_str(), true),
               "\"%s\" with second bytes changed matches \"%s\"", Escaped(secondFlipped).c_str(),
               Escaped(a).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name = fuzz::CString(data, size);
    const size_t rest = name.size() < size ? name.size() + 1 : size;
    const std::string other = fuzz::CString(data + rest, size - rest);

    const bool accepted = IsSafeEntryName(name.c_str());
    if (accepted) CheckAcceptedName(name);
    CheckRecordForm(name, accepted);
    CheckLastSeparator(name);
    CheckFindText(name, other);
    CheckSamePath(name, other, size ? data[size - 1] : 0);
    return 0;
}
