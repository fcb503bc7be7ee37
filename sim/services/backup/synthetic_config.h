/*
 * The fixture section "SyntheticContent": a device whose backup content is
 * made from a seed rather than kept in files, so that a fixture of a few
 * lines plays a phone of a million files. This file holds what the
 * fixture says and its checks; synthetic_content.h makes the entries.
 */
#ifndef TARVO_SIM_SYNTHETIC_CONFIG_H
#define TARVO_SIM_SYNTHETIC_CONFIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fixture.h"

namespace tarvosim {

inline constexpr std::string_view kSyntheticContentSection = "SyntheticContent";

/// How the sizes of ordinary (not large) files spread between MinSize and
/// MaxSize.
enum class SizeProfile {
    kPhone,    // each doubling of size holds about as many files: most are small
    kUniform,  // every size equally likely
};

inline constexpr uint64_t kMaxSyntheticFiles = 10'000'000;
inline constexpr uint64_t kMaxSyntheticDomains = 1000;
inline constexpr uint64_t kMaxSyntheticFileSize = uint64_t{1} << 40;
inline constexpr uint32_t kMaxSyntheticFolderDepth = 8;
inline constexpr uint64_t kMaxSyntheticFilesPerFolder = 100'000;
/// ChangedShare is kept as parts of this, so that the files a generation
/// changes follow from integers alone.
inline constexpr uint64_t kShareScale = 1'000'000;

struct SyntheticContent {
    uint64_t seed = 0;
    uint64_t files = 0;
    /// In byte order (the walk's), without repeats.
    std::vector<std::string> domains;
    SizeProfile profile = SizeProfile::kPhone;
    uint64_t min_size = 1024;
    uint64_t max_size = 64 * 1024;
    uint64_t large_files = 0;
    uint64_t large_min_size = 4 * 1024 * 1024;
    uint64_t large_max_size = 64 * 1024 * 1024;
    /// Folder levels between a domain's own folder and its files (0: the
    /// files lie in the domain's folder).
    uint32_t folder_depth = 2;
    uint64_t files_per_folder = 100;
    /// The share of files each generation changes, in parts of kShareScale.
    uint64_t changed_share = kShareScale / 100;
};

/// The domains a fixture gets without "Domains": apps' and system ones.
const std::vector<std::string> &default_synthetic_domains();

FixtureSection synthetic_content_section();

/// The fixture's synthetic content; null for a fixture without it.
std::shared_ptr<const SyntheticContent> synthetic_content(const Fixture &fixture);

}  // namespace tarvosim

#endif
