#include "pattern/pattern.h"

#include <re2/re2.h>

#include <new>

namespace loglathe {

namespace {

class Re2Pattern final : public Pattern {
public:
    Re2Pattern(std::string_view expression, const RE2::Options& options)
        : re_(re2::StringPiece(expression.data(), expression.size()), options) {}

    bool ok() const { return re_.ok(); }

    bool match(std::string_view text, std::vector<std::string_view>& groups) const override {
        int count = re_.NumberOfCapturingGroups();
        // Slot 0 receives the whole match; the patterns in use have a dozen groups at most, so the
        // slots live on the stack and a match allocates nothing once `groups` has its size.
        constexpr int kInlineSlots = 32;
        re2::StringPiece inlineSlots[kInlineSlots];
        std::vector<re2::StringPiece> heapSlots;
        re2::StringPiece* slots = inlineSlots;
        if (count + 1 > kInlineSlots) {
            heapSlots.resize(static_cast<std::size_t>(count) + 1);
            slots = heapSlots.data();
        }
        groups.assign(static_cast<std::size_t>(count), std::string_view());
        re2::StringPiece input(text.data(), text.size());
        if (!re_.Match(input, 0, input.size(), RE2::ANCHOR_BOTH, slots, count + 1))
            return false;
        for (int i = 0; i < count; ++i) {
            const re2::StringPiece& slot = slots[i + 1];
            // A group that took no part has no data: it reads as the empty text.
            if (slot.data())
                groups[static_cast<std::size_t>(i)] = std::string_view(slot.data(), slot.size());
        }
        return true;
    }

    int groupCount() const override { return re_.NumberOfCapturingGroups(); }

private:
    RE2 re_;
};

} // namespace

std::unique_ptr<Pattern> patternCompile(std::string_view expression) {
    RE2::Options options;
    // Latin-1: every byte is one character, so text that is not valid UTF-8 still matches, and "."
    // takes any byte, a line feed included (a path may hold one).
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_dot_nl(true);
    options.set_log_errors(false);
    std::unique_ptr<Re2Pattern> pattern(new (std::nothrow) Re2Pattern(expression, options));
    if (!pattern || !pattern->ok())
        return nullptr;
    return pattern;
}

} // namespace loglathe
