#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tarvo {

// A hyper-parameter given as text. The text is stored and read back exactly
// as given; the choice it selects is worked out once, when the text is set,
// so that learning compares a small enumeration instead of strings. Parse
// maps every text to a choice (unknown texts to the default behaviour).
template <class Choice, Choice (*Parse)(std::string_view) noexcept>
class TextOption {
public:
    TextOption(std::string text) : text_(std::move(text)), choice_(Parse(text_)) {}  // NOLINT

    TextOption& operator=(std::string text) {
        text_ = std::move(text);
        choice_ = Parse(text_);
        return *this;
    }

    [[nodiscard]] const std::string& text() const noexcept { return text_; }
    [[nodiscard]] Choice choice() const noexcept { return choice_; }

private:
    std::string text_;
    Choice choice_;
};

}  // namespace tarvo
