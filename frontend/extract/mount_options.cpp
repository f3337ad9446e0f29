// The mount options of quorvel read without FUSE's parser: the same table,
// the same templates ("name" sets a flag, "name=%fmt" converts a value).
#include "frontend/extract/extract.h"
#include "frontend/option_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Options of the mount that mean nothing without one.
constexpr std::string_view mount_only_options[] = {"noallow_other", "direct_io", "threads"};

// Stores `value` into the field at `offset` as the template's conversion
// says; false when the value does not convert completely.
bool store(hfs_options& options, unsigned long offset, std::string_view conversion,
           const std::string& value) {
    char* field = reinterpret_cast<char*>(&options) + offset;
    int used = -1;
    const std::string format = std::string(conversion) + "%n";
    if (conversion == "%s") {
        char*& text = *reinterpret_cast<char**>(field);
        std::free(text);
        text = strdup(value.c_str());
        return text != nullptr;
    }
    int converted = 0;
    if (conversion == "%zu")
        converted =
            std::sscanf(value.c_str(), format.c_str(), reinterpret_cast<size_t*>(field), &used);
    else if (conversion == "%u")
        converted =
            std::sscanf(value.c_str(), format.c_str(), reinterpret_cast<unsigned*>(field), &used);
    else if (conversion == "%d")
        converted =
            std::sscanf(value.c_str(), format.c_str(), reinterpret_cast<int*>(field), &used);
    else if (conversion == "%lu")
        converted = std::sscanf(value.c_str(), format.c_str(),
                                reinterpret_cast<unsigned long*>(field), &used);
    else if (conversion == "%ho")
        converted = std::sscanf(value.c_str(), format.c_str(),
                                reinterpret_cast<unsigned short*>(field), &used);
    else
        return false;
    return converted == 1 && used == static_cast<int>(value.size()) && !value.empty() &&
           value[0] != '-';
}

} // namespace

bool parse_mount_options(const char* list, hfs_options& options, std::string& error) {
    std::string_view rest = list;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string option(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (option.empty() || option == "ro" || option == "nofail") continue;
        for (std::string_view mount_only : mount_only_options) {
            if (option == mount_only) {
                error = "option `" + option + "' concerns only a mount (quorvel); " +
                        "quorvel-extract does not take it";
                return false;
            }
        }

        // Every entry that matches is applied, as FUSE's parser does:
        // "name" sets a flag, "name=" a flag for any value, "name=%conv"
        // converts the value.
        bool known = false;
        for (const hfs_option_template& entry : hfs_option_templates()) {
            std::string_view templ = entry.templ;
            size_t percent = templ.find('%');
            if (percent == std::string_view::npos) {
                const bool matches =
                    templ.ends_with('=') ? option.starts_with(templ) : option == templ;
                if (!matches) continue;
                *reinterpret_cast<int*>(reinterpret_cast<char*>(&options) + entry.offset) =
                    entry.value;
                known = true;
                continue;
            }
            std::string_view name = templ.substr(0, percent);
            if (option.compare(0, name.size(), name) != 0) continue;
            known = true;
            if (!store(options, entry.offset, templ.substr(percent), option.substr(name.size()))) {
                error = "invalid value in option `" + option + "'";
                return false;
            }
        }
        if (!known) {
            error = "unknown option `" + option + "'";
            return false;
        }
    }
    return true;
}
