/*
 * The order in which a device's content is walked: domain by domain in
 * byte order, each folder right before what it holds, the names of one
 * folder in byte order. The content folder and the synthetic content each
 * walk in this order, so their entries can be merged as they come, and the
 * record of removed synthetic entries keeps its keys in it.
 */
#ifndef TARVO_SIM_WALK_ORDER_H
#define TARVO_SIM_WALK_ORDER_H

#include <algorithm>
#include <string>
#include <string_view>

namespace tarvosim {

/// <0, 0 or >0 as (domain_a, path_a) comes before, with or after
/// (domain_b, path_b). A "/" sorts below every byte that a name may hold,
/// which puts "a/b" before "a.b" and so each folder's content right after it.
inline int compare_walk_order(std::string_view domain_a, std::string_view path_a,
                              std::string_view domain_b, std::string_view path_b) {
    if (const int by_domain = domain_a.compare(domain_b); by_domain != 0) {
        return by_domain;
    }
    const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
    const std::size_t common = std::min(path_a.size(), path_b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (path_a[i] != path_b[i]) {
            return rank(path_a[i]) < rank(path_b[i]) ? -1 : 1;
        }
    }
    return path_a.size() == path_b.size() ? 0 : (path_a.size() < path_b.size() ? -1 : 1);
}

/// One byte string per entry whose byte order is the walk order: the
/// domain, then a NUL before each part of the path (names hold no NUL).
/// An entry's key is a prefix of the keys of everything it holds.
inline std::string walk_order_key(std::string_view domain, std::string_view relative_path) {
    std::string key(domain);
    if (!relative_path.empty()) {
        key += '\0';
        for (char c : relative_path) {
            key += c == '/' ? '\0' : c;
        }
    }
    return key;
}

/// Whether the entry of `key` is the entry of `holder` or lies inside it.
inline bool key_is_within(std::string_view key, std::string_view holder) {
    return key.starts_with(holder) && (key.size() == holder.size() || key[holder.size()] == '\0');
}

}  // namespace tarvosim

#endif
