// One table of qm4720d's TOML file as the readers of its keys see it: typed getters that refuse a
// wrong type or range with the file's line and the dotted key, and the refusal they throw. The
// readers live beside the things they read (config_loader.cpp, meter_config.cpp, ...); each is
// called from LoadConfig, which turns a refusal into "FILE:LINE: KEY: what is wrong".
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "service/core/access_config.h"

namespace service {

// A refusal on its way out of the reader: the line and the key it is about.
struct Refusal {
    std::int64_t line;
    std::string key;
    std::string what;
};

// "a string", "an integer", ...: what a node is, for a refusal.
std::string TypeText(const toml::node& node);

// One table of the file under its dotted key path, e.g. line[1].meter[0].
class Section {
public:
    Section(const toml::table& table, std::string path) : table_(table), path_(std::move(path)) {}

    std::string Key(std::string_view name) const {
        return path_.empty() ? std::string(name) : path_ + "." + std::string(name);
    }
    std::int64_t Line() const { return table_.source().begin.line; }
    const toml::table& Raw() const { return table_; }

    // Throws `refusal`, whose key is one of this table's.
    void Throw(std::optional<KeyRefusal> refusal) const {
        if (refusal) throw Refusal{refusal->line, Key(refusal->key), std::move(refusal->what)};
    }

    [[noreturn]] void Refuse(std::string_view name, const std::string& what) const {
        const toml::node* node = table_.get(name);
        throw Refusal{node != nullptr ? node->source().begin.line : Line(), Key(name), what};
    }

    // Refuses the first key that is not one of `known`.
    void OnlyKeys(std::initializer_list<std::string_view> known) const {
        for (auto&& [key, node] : table_) {
            bool ok = false;
            for (std::string_view k : known) ok = ok || k == key.str();
            if (!ok) {
                throw Refusal{node.source().begin.line, Key(key.str()), "unknown key"};
            }
        }
    }

    const toml::node* Find(std::string_view name) const { return table_.get(name); }

    std::string String(std::string_view name, const std::string& fallback, bool required) const {
        const toml::node* node = Find(name);
        if (node == nullptr) {
            if (required) throw Refusal{Line(), Key(name), "missing (a string is required)"};
            return fallback;
        }
        if (!node->is_string()) Refuse(name, "expected a string, got " + TypeText(*node));
        return std::string(*node->value<std::string_view>());
    }

    std::int64_t Integer(std::string_view name, std::int64_t fallback, std::int64_t low,
                         std::int64_t high, bool required = false) const {
        const toml::node* node = Find(name);
        if (node == nullptr) {
            if (required) throw Refusal{Line(), Key(name), "missing (a whole number is required)"};
            return fallback;
        }
        if (!node->is_integer()) Refuse(name, "expected a whole number, got " + TypeText(*node));
        const std::int64_t v = *node->value<std::int64_t>();
        if (v < low || v > high) {
            Refuse(name, "expected " + std::to_string(low) + ".." + std::to_string(high) +
                             ", got " + std::to_string(v));
        }
        return v;
    }

    bool Boolean(std::string_view name, bool fallback) const {
        const toml::node* node = Find(name);
        if (node == nullptr) return fallback;
        if (!node->is_boolean()) Refuse(name, "expected true or false, got " + TypeText(*node));
        return *node->value<bool>();
    }

    // A number from `low` to `high` (a whole number is taken as well).
    double Number(std::string_view name, double fallback, double low, double high,
                  std::string_view unit, bool required = false) const {
        const toml::node* node = Find(name);
        if (node == nullptr) {
            if (required) {
                throw Refusal{Line(), Key(name), "missing (" + std::string(unit) + " required)"};
            }
            return fallback;
        }
        if (!node->is_number()) {
            Refuse(name, "expected " + std::string(unit) + ", got " + TypeText(*node));
        }
        const double v = *node->value<double>();
        // Written as a negation so that nan is refused too.
        if (!(v >= low && v <= high)) {
            char range[96];
            std::snprintf(range, sizeof range, "expected %s from %g to %g, got %g",
                          std::string(unit).c_str(), low, high, v);
            Refuse(name, range);
        }
        return v;
    }

    // Seconds from a millisecond up to `high`, as a duration in milliseconds.
    std::chrono::milliseconds Seconds(std::string_view name, std::chrono::milliseconds fallback,
                                      double high, bool required = false) const {
        const double v = Number(name, fallback.count() / 1000.0, 0.001, high, "seconds", required);
        return std::chrono::milliseconds(std::llround(v * 1000));
    }

    // The tables of an array of tables (`[[name]]`); none when the key is absent.
    std::vector<Section> Tables(std::string_view name) const {
        std::vector<Section> out;
        const toml::node* node = Find(name);
        if (node == nullptr) return out;
        const toml::array* array = node->as_array();
        if (array == nullptr) Refuse(name, "expected [[" + std::string(name) + "]] tables");
        for (std::size_t i = 0; i < array->size(); ++i) {
            const toml::table* t = (*array)[i].as_table();
            if (t == nullptr) Refuse(name, "expected [[" + std::string(name) + "]] tables");
            out.emplace_back(*t, Key(name) + "[" + std::to_string(i) + "]");
        }
        return out;
    }

    std::optional<Section> Table(std::string_view name) const {
        const toml::node* node = Find(name);
        if (node == nullptr) return std::nullopt;
        if (!node->is_table()) Refuse(name, "expected a table, got " + TypeText(*node));
        return Section(*node->as_table(), Key(name));
    }

    // An array of strings, each with its own line for messages.
    std::vector<std::pair<std::string, std::int64_t>> Strings(std::string_view name) const {
        std::vector<std::pair<std::string, std::int64_t>> out;
        const toml::node* node = Find(name);
        if (node == nullptr) return out;
        const toml::array* array = node->as_array();
        if (array == nullptr) Refuse(name, "expected an array of strings");
        for (const toml::node& item : *array) {
            if (!item.is_string()) Refuse(name, "expected an array of strings");
            out.emplace_back(std::string(*item.value<std::string_view>()),
                             item.source().begin.line);
        }
        return out;
    }

private:
    const toml::table& table_;
    std::string path_;
};

}  // namespace service
