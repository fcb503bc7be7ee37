/*
 * Property lists written and read as XML in the tests of every folder: a
 * node from the XML of one value, and the XML a node writes, by which two
 * containers compare (the library compares them by identity only).
 */
#ifndef TARVO_TESTS_SUPPORT_PLIST_TEXT_H
#define TARVO_TESTS_SUPPORT_PLIST_TEXT_H

#include <plist/plist.h>

#include <cstdint>
#include <string>

#include "owners.h"

namespace plist_text {

// A node from the XML of one value, e.g. "<array><string>x</string></array>";
// null when it does not parse.
inline PlistPtr from_xml(const std::string &value_xml) {
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + value_xml +
        "</plist>";
    plist_t node = nullptr;
    plist_from_xml(document.data(), static_cast<uint32_t>(document.size()), &node);
    return PlistPtr(node);
}

// The XML document of `node`; empty for none.
inline std::string xml_of(plist_t node) {
    char *xml = nullptr;
    uint32_t length = 0;
    if (node) {
        plist_to_xml(node, &xml, &length);
    }
    std::string text(xml ? xml : "", xml ? length : 0);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace plist_text

#endif
