// The JSON values orvanectl builds and prints: null, booleans, integers,
// texts, arrays and objects that keep their keys in insertion order. Only
// what the output needs (no parser); written here so that orvanectl builds
// on a laptop without a JSON library. Construction follows the usual C++
// JSON idiom: {{"key", value}, ...} is an object, {a, b} an array.
// Texts from the network may be any bytes: dump() writes invalid UTF-8 as
// U+FFFD. Nothing here throws except on allocation.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ctl {

class json {
public:
    enum class error_handler_t { replace };

    json() = default;
    json(std::nullptr_t) {}
    json(bool value) : kind_(kind::boolean), integer_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) json(T value)
        : kind_(kind::integer), integer_(static_cast<long long>(value)), unsigned_(std::unsigned_integral<T>)
    {}
    json(const char *text) : kind_(kind::text), text_(text) {}
    json(std::string text) : kind_(kind::text), text_(std::move(text)) {}
    json(std::string_view text) : kind_(kind::text), text_(text) {}
    // An object when every element is a [text, value] pair, else an array.
    json(std::initializer_list<json> elements);

    [[nodiscard]] static json array();
    [[nodiscard]] static json object();

    [[nodiscard]] bool is_null() const { return kind_ == kind::null; }
    [[nodiscard]] bool is_string() const { return kind_ == kind::text; }
    [[nodiscard]] bool is_array() const { return kind_ == kind::array; }
    [[nodiscard]] bool is_object() const { return kind_ == kind::object; }

    // The text, or the integer; a value of another kind gives "" or 0.
    template <class T>
    [[nodiscard]] T get() const
    {
        if constexpr (std::same_as<T, std::string>)
            return text_;
        else
            return static_cast<T>(integer_);
    }

    // Objects: the member (added as null when missing; null becomes an
    // object first). The const form gives null for a missing member.
    json &operator[](const std::string &key);
    const json &operator[](const std::string &key) const;
    // Arrays: the element.
    json &operator[](size_t index) { return items_[index].second; }
    const json &operator[](size_t index) const { return items_[index].second; }
    json &operator[](int index) { return items_[static_cast<size_t>(index)].second; }
    const json &operator[](int index) const { return items_[static_cast<size_t>(index)].second; }
    [[nodiscard]] const json &at(size_t index) const { return items_.at(index).second; }
    [[nodiscard]] bool contains(const std::string &key) const;
    // The member's text, or the fallback when it is missing or no text.
    [[nodiscard]] std::string value(const std::string &key, const std::string &fallback) const;

    // Arrays (null becomes an empty array first).
    void push_back(json element);
    [[nodiscard]] size_t size() const { return items_.size(); }
    [[nodiscard]] bool empty() const { return items_.empty(); }

    // Iterates the elements of an array, or the values of an object.
    class const_iterator {
    public:
        using inner = std::vector<std::pair<std::string, json>>::const_iterator;
        explicit const_iterator(inner at) : at_(at) {}
        const json &operator*() const { return at_->second; }
        const json *operator->() const { return &at_->second; }
        const_iterator &operator++()
        {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator &other) const { return at_ == other.at_; }

    private:
        inner at_;
    };
    [[nodiscard]] const_iterator begin() const { return const_iterator(items_.begin()); }
    [[nodiscard]] const_iterator end() const { return const_iterator(items_.end()); }

    // Compact with indent < 0, else pretty-printed with that many spaces a
    // level.
    [[nodiscard]] std::string dump(int indent = -1, char indent_char = ' ', bool ensure_ascii = false,
                                   error_handler_t handler = error_handler_t::replace) const;

private:
    enum class kind { null, boolean, integer, text, array, object };
    void write(std::string &out, int indent, int depth) const;

    kind kind_ = kind::null;
    long long integer_ = 0;
    bool unsigned_ = false;
    std::string text_;
    // Array elements have empty keys.
    std::vector<std::pair<std::string, json>> items_;
};

} // namespace ctl
