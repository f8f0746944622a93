#include "app/option_types.h"

#include "platform/file_system.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace loglathe {

namespace {

// Error codes shared by the three kinds, numbered like argtable2's own option types.
enum { kErrMinCount = 1, kErrMaxCount = 2 };

struct SwitchPair {
    arg_hdr hdr;
    int count;
    bool* dest;
    bool value;
};

struct ValueList {
    arg_hdr hdr;
    int count;
    const char** values;
    std::vector<std::string>* dest;
    bool normalizePaths;
};

void printOption(FILE* fp, const arg_hdr& hdr, const char* suffix) {
    arg_print_option(fp, hdr.shortopts, hdr.longopts, hdr.datatype, suffix);
}

void switchReset(void* parent) {
    static_cast<SwitchPair*>(parent)->count = 0;
}

int switchScan(void* parent, const char*) {
    auto* self = static_cast<SwitchPair*>(parent);
    if (self->count >= self->hdr.maxcount)
        return kErrMaxCount;
    ++self->count;
    return 0;
}

int switchCheck(void* parent) {
    auto* self = static_cast<SwitchPair*>(parent);
    if (self->count < self->hdr.mincount)
        return kErrMinCount;
    if (self->count == 1)
        *self->dest = self->value;
    return 0;
}

void switchError(void* parent, FILE* fp, int error, const char*, const char* progname) {
    auto* self = static_cast<SwitchPair*>(parent);
    std::fprintf(fp, "%s: ", progname);
    if (error == kErrMinCount)
        std::fputs("missing option ", fp);
    else
        std::fputs("extraneous option ", fp);
    printOption(fp, self->hdr, "\n");
}

void listReset(void* parent) {
    static_cast<ValueList*>(parent)->count = 0;
}

int listScan(void* parent, const char* value) {
    auto* self = static_cast<ValueList*>(parent);
    if (self->count >= self->hdr.maxcount)
        return kErrMaxCount;
    if (!value)
        return ARG_EMISSARG;
    self->values[self->count++] = value;
    return 0;
}

// Copies the collected values into the destination list.
int listCheck(void* parent) {
    auto* self = static_cast<ValueList*>(parent);
    if (self->count < self->hdr.mincount)
        return kErrMinCount;
    for (int i = 0; i < self->count; ++i) {
        std::string value = self->values[i];
        if (self->normalizePaths)
            pathNormalize(value);
        try {
            self->dest->push_back(std::move(value));
        } catch (const std::bad_alloc&) {
            return kOptionCollectFailed;
        }
    }
    return 0;
}

// Texts of the two list kinds: the wildcard names its first value when collecting failed, the file
// lists report the failed allocation itself.
void listError(void* parent, FILE* fp, int error, const char* argval, const char* progname) {
    auto* self = static_cast<ValueList*>(parent);
    std::fprintf(fp, "%s: ", progname);
    if (error == kErrMinCount || error == kErrMaxCount) {
        std::fputs(error == kErrMinCount ? "missing option " : "excess option ", fp);
        printOption(fp, self->hdr, "\n");
    } else if (error == kOptionCollectFailed && self->normalizePaths) {
        std::fputs("internal error, could not allocate memory\n", fp);
    } else if (error == kOptionCollectFailed) {
        std::fprintf(fp, "invalid value \"%s\" to option ", self->count > 0 ? self->values[0] : "");
        printOption(fp, self->hdr, "\n");
    } else {
        std::fprintf(fp, "unknown error at \"%s\"\n", argval ? argval : "");
    }
}

ValueList* newValueList(const char* shortName, const char* longName, const char* datatype,
                        const char* glossary, int minCount, int maxCount, std::vector<std::string>* dest) {
    if (maxCount < minCount)
        maxCount = minCount;
    std::size_t bytes = sizeof(ValueList) + static_cast<std::size_t>(maxCount) * sizeof(const char*);
    auto* self = static_cast<ValueList*>(std::calloc(1, bytes));
    if (!self)
        return nullptr;
    self->hdr.flag = ARG_HASVALUE;
    self->hdr.shortopts = shortName;
    self->hdr.longopts = longName;
    self->hdr.datatype = datatype;
    self->hdr.glossary = glossary;
    self->hdr.mincount = minCount;
    self->hdr.maxcount = maxCount;
    self->hdr.parent = self;
    self->hdr.resetfn = listReset;
    self->hdr.scanfn = listScan;
    self->hdr.checkfn = listCheck;
    self->hdr.errorfn = listError;
    self->values = reinterpret_cast<const char**>(self + 1);
    self->dest = dest;
    return self;
}

} // namespace

arg_hdr* argSwitchPair(const char* longName, const char* glossary, bool* dest, bool value) {
    auto* self = static_cast<SwitchPair*>(std::calloc(1, sizeof(SwitchPair)));
    if (!self)
        return nullptr;
    self->hdr.longopts = longName;
    self->hdr.glossary = glossary;
    self->hdr.mincount = 0;
    self->hdr.maxcount = 1;
    self->hdr.parent = self;
    self->hdr.resetfn = switchReset;
    self->hdr.scanfn = switchScan;
    self->hdr.checkfn = switchCheck;
    self->hdr.errorfn = switchError;
    self->dest = dest;
    self->value = value;
    return &self->hdr;
}

arg_hdr* argWildcard(const char* longName, const char* datatype, const char* glossary, int maxCount,
                     std::vector<std::string>* dest) {
    ValueList* self = newValueList(nullptr, longName, datatype, glossary, 0, maxCount, dest);
    return self ? &self->hdr : nullptr;
}

arg_hdr* argFileCollector(const char* shortName, const char* longName, const char* datatype,
                          const char* glossary, int minCount, int maxCount, std::vector<std::string>* dest) {
    ValueList* self = newValueList(shortName, longName, datatype, glossary, minCount, maxCount, dest);
    if (!self)
        return nullptr;
    self->normalizePaths = true;
    return &self->hdr;
}

} // namespace loglathe
