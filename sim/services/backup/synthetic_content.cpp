/*
 * The synthetic tree's geometry, its entries and its file bytes.
 */
#include "synthetic_content.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <span>

#include "content_paths.h"

namespace tarvosim {
namespace {

// splitmix64: a bijective mixer and a counter-based stream, on explicit
// 64-bit integers only, so every machine draws the same numbers.
constexpr uint64_t kGamma = 0x9E3779B97F4A7C15;

constexpr uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

/// What a number is drawn for: each fact of a file has a stream of its own.
enum class Purpose : uint64_t {
    kSize = 1,
    kSizeWithin,
    kLarge,
    kPhase,
    kBirth,
    kModified,
    kName,
    kBytes
};

uint64_t draw(uint64_t seed, Purpose purpose, uint64_t a, uint64_t b = 0) {
    uint64_t h = mix(seed + static_cast<uint64_t>(purpose) * kGamma);
    h = mix(h ^ (a + kGamma));
    return mix(h ^ (b + kGamma));
}

/// A number from `low` to `high`, both included.
uint64_t within(uint64_t random, uint64_t low, uint64_t high) {
    const uint64_t span = high - low;
    return span == UINT64_MAX ? random : low + random % (span + 1);
}

constexpr int64_t kDay = 24 * 60 * 60;
// Files were made over the two years before this moment (late 2023).
constexpr int64_t kBaseTime = 1'700'000'000;
constexpr int64_t kBirthSpread = 2 * 365 * kDay;
constexpr int64_t kModifiedSpread = 30 * kDay;
// A new version is this much younger than the one before.
constexpr int64_t kVersionStep = kDay;
constexpr uint64_t kFileInodes = uint64_t{1} << 40;
constexpr uint64_t kFolderInodes = uint64_t{2} << 40;

constexpr std::array<std::string_view, 6> kSmallExtensions{"db",    "jpg",    "json",
                                                           "plist", "sqlite", "txt"};
constexpr std::array<std::string_view, 3> kLargeExtensions{"HEIC", "MOV", "MP4"};
constexpr std::string_view kFilePrefix = "file-";
constexpr std::string_view kFolderPrefix = "d";

std::size_t digits_of(uint64_t value) {
    std::size_t digits = 1;
    for (; value >= 10; value /= 10) {
        ++digits;
    }
    return digits;
}

std::string padded(uint64_t value, std::size_t width) {
    std::string text = std::to_string(value);
    return text.size() >= width ? text : std::string(width - text.size(), '0') + text;
}

/// The number `text` spells with exactly `width` digits.
std::optional<uint64_t> number_in(std::string_view text, std::size_t width) {
    if (text.size() < width) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return value;
}

/// Doublings from `low` (at least 1) that reach `high`.
uint32_t octaves_between(uint64_t low, uint64_t high) {
    const uint64_t base = std::max<uint64_t>(low, 1);
    uint32_t octaves = 0;
    while (octaves < 63 && (base << octaves) < high && (base << octaves) <= (UINT64_MAX >> 1)) {
        ++octaves;
    }
    return octaves;
}

/// Picks a doubling, then a size inside it: a file is as likely to be
/// 1 to 2 KiB as 32 to 64 KiB, so most files are small, as on phones.
uint64_t phone_size(uint64_t random, uint64_t other, uint64_t low, uint64_t high) {
    const uint32_t octaves = octaves_between(low, high);
    if (octaves == 0) {
        return within(random, low, high);
    }
    const uint64_t base = std::max<uint64_t>(low, 1);
    const uint32_t octave = static_cast<uint32_t>(other % octaves);
    const uint64_t from = octave == 0 ? low : base << octave;
    const uint64_t to = octave + 1 == octaves ? high : (base << (octave + 1)) - 1;
    return within(random, from, to);
}

void clear_metadata(ContentEntry *entry) {
    entry->size = 0;
    entry->user_id = 501;
    entry->group_id = 501;
    entry->link_target.clear();
    entry->open = nullptr;
}

/// Word `index` of the content stream keyed by `key`.
constexpr uint64_t content_word(uint64_t key, uint64_t index) {
    return mix(key + (index + 1) * kGamma);
}

void store_little_endian(uint64_t value, uint8_t *out) {
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap64(value);
    }
    std::memcpy(out, &value, sizeof value);
}

void fill_words_one_by_one(uint64_t key, uint64_t first, uint8_t *out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        store_little_endian(content_word(key, first + i), out + 8 * i);
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARVOSIM_WIDE_CONTENT_WORDS 1
/// Eight words at a time in one vector register, where the machine
/// multiplies 64-bit lanes: the words are independent of one another, and
/// the wrapping arithmetic of each lane is that of content_word.
__attribute__((target("avx512f,avx512dq"))) void fill_words_eight_wide(uint64_t key, uint64_t first,
                                                                       uint8_t *out,
                                                                       std::size_t count) {
    typedef uint64_t Lanes __attribute__((vector_size(64)));
    constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(uint64_t);
    Lanes counter;
    Lanes step;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        counter[lane] = key + (first + lane + 1) * kGamma;
        step[lane] = kLanes * kGamma;
    }
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Lanes z = counter;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        z = z ^ (z >> 31);
        std::memcpy(out + 8 * i, &z, sizeof z);  // x86 is little-endian
        counter += step;
    }
    fill_words_one_by_one(key, first + i, out + 8 * i, count - i);
}
#endif

/// Words first .. first + count - 1 of the stream, little-endian, at `out`.
void fill_content_words(uint64_t key, uint64_t first, uint8_t *out, std::size_t count) {
#ifdef TARVOSIM_WIDE_CONTENT_WORDS
    static const bool wide =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    if (wide) {
        fill_words_eight_wide(key, first, out, count);
        return;
    }
#endif
    fill_words_one_by_one(key, first, out, count);
}

class SyntheticReader : public ContentReader {
  public:
    SyntheticReader(uint64_t key, uint64_t size) : key_(key), size_(size) {}

    bool read(std::span<uint8_t> out) override {
        if (out.size() > size_ - offset_) {
            return false;  // past the file's end
        }
        uint8_t *at = out.data();
        std::size_t left = out.size();
        for (; left > 0 && offset_ % 8 != 0; --left) {
            *at++ = byte_at(offset_++);
        }
        const std::size_t words = left / 8;
        fill_content_words(key_, offset_ / 8, at, words);
        at += 8 * words;
        offset_ += 8 * words;
        left -= 8 * words;
        for (; left > 0; --left) {
            *at++ = byte_at(offset_++);
        }
        return true;
    }

  private:
    uint8_t byte_at(uint64_t offset) const {
        return static_cast<uint8_t>(content_word(key_, offset / 8) >> (8 * (offset % 8)));
    }

    const uint64_t key_;
    const uint64_t size_;
    uint64_t offset_ = 0;
};

}  // namespace

std::unique_ptr<ContentReader> synthetic_reader(uint64_t key, uint64_t size) {
    return std::make_unique<SyntheticReader>(key, size);
}

SyntheticTree::SyntheticTree(std::shared_ptr<const SyntheticContent> config)
    : config_(std::move(config)) {
    const uint64_t domains = std::max<uint64_t>(1, config_->domains.size());
    const uint64_t most_in_a_domain = (config_->files + domains - 1) / domains;
    const uint32_t depth = config_->folder_depth;
    files_per_leaf_ =
        depth == 0 ? std::max<uint64_t>(1, most_in_a_domain) : config_->files_per_folder;
    const uint64_t most_leaves =
        std::max<uint64_t>(1, (most_in_a_domain + files_per_leaf_ - 1) / files_per_leaf_);
    // The fewest subfolders per folder that give every leaf a place.
    auto leaves_reached = [depth](uint64_t fan_out) {
        uint64_t reached = 1;
        for (uint32_t i = 0; i < depth && reached < kMaxSyntheticFiles; ++i) {
            reached *= fan_out;
        }
        return reached;
    };
    while (depth > 0 && leaves_reached(fan_out_) < most_leaves) {
        ++fan_out_;
    }
    level_span_.assign(depth, 1);
    for (uint32_t level = depth; level-- > 1;) {
        level_span_[level - 1] = level_span_[level] * fan_out_;
    }
    folder_digits_ = std::max<std::size_t>(2, digits_of(fan_out_ - 1));
    file_digits_ = std::max<std::size_t>(4, digits_of(files_per_leaf_ - 1));
    large_offset_ =
        config_->files == 0 ? 0 : draw(config_->seed, Purpose::kLarge, 0) % config_->files;
}

uint64_t SyntheticTree::first_file(std::size_t domain) const {
    return domain * config_->files / config_->domains.size();
}

uint64_t SyntheticTree::files_in(std::size_t domain) const {
    return first_file(domain + 1) - first_file(domain);
}

uint64_t SyntheticTree::leaves_in(std::size_t domain) const {
    return (files_in(domain) + files_per_leaf_ - 1) / files_per_leaf_;
}

bool SyntheticTree::is_large(uint64_t index) const {
    // Exactly LargeFiles of the files, spread evenly from a seeded start.
    const uint64_t large = config_->large_files;
    return large > 0 && (index * large + large_offset_) % config_->files < large;
}

uint64_t SyntheticTree::size_of(uint64_t index) const {
    const uint64_t random = draw(config_->seed, Purpose::kSize, index);
    if (is_large(index)) {
        return within(random, config_->large_min_size, config_->large_max_size);
    }
    if (config_->profile == SizeProfile::kUniform) {
        return within(random, config_->min_size, config_->max_size);
    }
    return phone_size(random, draw(config_->seed, Purpose::kSizeWithin, index), config_->min_size,
                      config_->max_size);
}

uint64_t SyntheticTree::version_of(uint64_t index, uint64_t generation) const {
    const uint64_t phase = draw(config_->seed, Purpose::kPhase, index) % kShareScale;
    return (generation * config_->changed_share + phase) / kShareScale;
}

uint64_t SyntheticTree::digit_of(uint64_t leaf, uint32_t level) const {
    return leaf / level_span_[level] % fan_out_;
}

uint32_t SyntheticTree::first_different_level(uint64_t a, uint64_t b) const {
    uint32_t level = 0;
    while (level < depth() && digit_of(a, level) == digit_of(b, level)) {
        ++level;
    }
    return level;
}

std::string SyntheticTree::folder_path(uint64_t leaf, uint32_t levels) const {
    std::string path;
    for (uint32_t level = 0; level < levels; ++level) {
        path += (level == 0 ? "" : "/") + std::string(kFolderPrefix) +
                padded(digit_of(leaf, level), folder_digits_);
    }
    return path;
}

std::string SyntheticTree::file_name(uint64_t index, uint64_t position) const {
    const uint64_t pick = draw(config_->seed, Purpose::kName, index);
    const std::string_view extension = is_large(index)
                                           ? kLargeExtensions[pick % kLargeExtensions.size()]
                                           : kSmallExtensions[pick % kSmallExtensions.size()];
    return std::string(kFilePrefix) + padded(position, file_digits_) + "." + std::string(extension);
}

void SyntheticTree::domain_entry(std::size_t domain, ContentEntry *entry) const {
    entry->domain = config_->domains[domain];
    entry->relative_path.clear();
    entry->kind = EntryKind::kDirectory;
    clear_metadata(entry);
    entry->mode = S_IFDIR | 0755;
    entry->inode = kFolderInodes | uint64_t{domain} << 28;
    entry->birth = entry->last_modified = entry->last_status_change = kBaseTime - kBirthSpread;
    entry->protection_class = 4;
}

void SyntheticTree::folder_entry(std::size_t domain, uint64_t leaf, uint32_t level,
                                 ContentEntry *entry) const {
    domain_entry(domain, entry);
    entry->relative_path = folder_path(leaf, level + 1);
    // The first leaf below the folder names it among its domain's folders.
    const uint64_t first_leaf = leaf / level_span_[level] * level_span_[level];
    entry->inode = kFolderInodes | uint64_t{domain} << 28 | uint64_t{level + 1} << 24 | first_leaf;
}

void SyntheticTree::file_entry(std::size_t domain, uint64_t file, uint64_t generation,
                               ContentEntry *entry) const {
    const uint64_t index = first_file(domain) + file;
    const uint64_t leaf = file / files_per_leaf_;
    const uint64_t version = version_of(index, generation);
    entry->domain = config_->domains[domain];
    entry->relative_path = folder_path(leaf, depth());
    if (!entry->relative_path.empty()) {
        entry->relative_path += '/';
    }
    entry->relative_path += file_name(index, file % files_per_leaf_);
    entry->kind = EntryKind::kFile;
    clear_metadata(entry);
    entry->size = size_of(index);
    entry->mode = S_IFREG | 0644;
    entry->inode = kFileInodes + index;
    const uint64_t seed = config_->seed;
    entry->birth =
        kBaseTime - static_cast<int64_t>(draw(seed, Purpose::kBirth, index) % kBirthSpread);
    entry->last_modified =
        entry->birth +
        static_cast<int64_t>(draw(seed, Purpose::kModified, index) % kModifiedSpread) +
        static_cast<int64_t>(version) * kVersionStep;
    entry->last_status_change = entry->last_modified;
    entry->protection_class = 3;
    const uint64_t key = draw(seed, Purpose::kBytes, index, version);
    const uint64_t size = entry->size;
    entry->open = [key, size] { return synthetic_reader(key, size); };
}

std::optional<uint64_t> SyntheticTree::folder_number(std::string_view name) const {
    if (!name.starts_with(kFolderPrefix) || name.size() != kFolderPrefix.size() + folder_digits_) {
        return std::nullopt;
    }
    std::optional<uint64_t> number = number_in(name.substr(kFolderPrefix.size()), folder_digits_);
    return number && *number < fan_out_ ? number : std::nullopt;
}

std::optional<ContentEntry> SyntheticTree::find(std::string_view domain,
                                                std::string_view relative_path,
                                                uint64_t generation) const {
    const auto &domains = config_->domains;
    const auto found = std::lower_bound(domains.begin(), domains.end(), domain);
    if (found == domains.end() || *found != domain) {
        return std::nullopt;
    }
    return find_in(static_cast<std::size_t>(found - domains.begin()), relative_path, generation);
}

std::optional<ContentEntry> SyntheticTree::find_in(std::size_t domain,
                                                   std::string_view relative_path,
                                                   uint64_t generation) const {
    const std::vector<std::string_view> parts = parts_of(relative_path);
    const std::size_t folders = std::min<std::size_t>(parts.size(), depth());
    if (parts.size() > depth() + 1) {
        return std::nullopt;
    }
    uint64_t leaf = 0;  // the first leaf below the named folders
    for (std::size_t level = 0; level < folders; ++level) {
        const std::optional<uint64_t> number = folder_number(parts[level]);
        if (!number) {
            return std::nullopt;
        }
        leaf += *number * level_span_[level];
    }
    if (leaf >= leaves_in(domain) && !parts.empty()) {
        return std::nullopt;
    }
    ContentEntry entry;
    if (parts.empty()) {
        domain_entry(domain, &entry);
        return entry;
    }
    if (parts.size() == folders) {
        folder_entry(domain, leaf, static_cast<uint32_t>(folders - 1), &entry);
        return entry;
    }
    const std::string_view name = parts.back();
    const std::optional<uint64_t> position =
        name.starts_with(kFilePrefix) ? number_in(name.substr(kFilePrefix.size()), file_digits_)
                                      : std::nullopt;
    const uint64_t file = position ? leaf * files_per_leaf_ + *position : 0;
    if (!position || *position >= files_per_leaf_ || file >= files_in(domain) ||
        name != file_name(first_file(domain) + file, *position)) {
        return std::nullopt;
    }
    file_entry(domain, file, generation, &entry);
    return entry;
}

bool SyntheticWalk::next(ContentEntry *entry) {
    while (domain_ < tree_.domain_count()) {
        if (!domain_given_) {
            domain_given_ = true;
            file_ = 0;
            level_ = 0;
            tree_.domain_entry(domain_, entry);
            return true;
        }
        if (file_ >= tree_.files_in(domain_)) {
            ++domain_;
            domain_given_ = false;
            continue;
        }
        const uint64_t leaf = file_ / tree_.files_per_leaf();
        if (level_ < tree_.depth()) {
            tree_.folder_entry(domain_, leaf, level_++, entry);
            return true;
        }
        tree_.file_entry(domain_, file_, generation_, entry);
        ++file_;
        if (file_ % tree_.files_per_leaf() == 0) {
            // A new leaf: the folders it does not share with the last one.
            level_ = tree_.first_different_level(leaf, leaf + 1);
        }
        return true;
    }
    return false;
}

}  // namespace tarvosim
