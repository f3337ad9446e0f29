// Looking up keys of an XML property list's <dict> (the block tables of a
// .dmg, the Info.plist of a sparse bundle).
#pragma once

#include <pugixml.hpp>
#include <string_view>

namespace dimg {

// The element following <key>`key`</key> in `dict`, or an empty node.
inline pugi::xml_node dict_value(pugi::xml_node dict, std::string_view key) {
    for (pugi::xml_node n = dict.first_child(); n; n = n.next_sibling()) {
        if (std::string_view(n.name()) == "key" && std::string_view(n.child_value()) == key) {
            pugi::xml_node value = n.next_sibling();
            while (value && value.type() != pugi::node_element) value = value.next_sibling();
            return value;
        }
    }
    return {};
}

} // namespace dimg
