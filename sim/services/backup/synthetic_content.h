/*
 * Synthetic content: the entries of a SyntheticContent fixture, made on the
 * fly from its seed and the device's generation, never stored. Names,
 * sizes, metadata and bytes come from a small PRNG on explicit integers,
 * so they are the same on every machine and with every standard library.
 *
 * Each domain holds its share of the files (the domains split them evenly,
 * in byte order) in leaf folders FolderDepth levels below its own folder,
 * FilesPerFolder files each: HomeDomain/d03/d17/file-0042.plist. Folder
 * and file names are numbered with a fixed number of digits, so their byte
 * order is their number's order and the walk needs no sorting. A file's
 * generation-dependent "version" changes once every 1/ChangedShare
 * generations, at a phase of its own, so each generation changes about
 * that share of the files; a new version has new bytes and a later
 * LastModified, the same size.
 */
#ifndef TARVO_SIM_SYNTHETIC_CONTENT_H
#define TARVO_SIM_SYNTHETIC_CONTENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "content_entry.h"
#include "synthetic_config.h"

namespace tarvosim {

/// What a fixture's synthetic content is made of, for any generation.
class SyntheticTree {
  public:
    explicit SyntheticTree(std::shared_ptr<const SyntheticContent> config);

    const SyntheticContent &config() const { return *config_; }
    std::size_t domain_count() const { return config_->domains.size(); }
    const std::string &domain(std::size_t index) const { return config_->domains[index]; }
    uint64_t files_in(std::size_t domain) const;
    uint32_t depth() const { return config_->folder_depth; }
    uint64_t files_per_leaf() const { return files_per_leaf_; }

    // Facts of file `index` (0 .. files - 1, in walk order over all domains).
    bool is_large(uint64_t index) const;
    uint64_t size_of(uint64_t index) const;
    /// Bumped by the generations that change the file; 0 in generation 0.
    uint64_t version_of(uint64_t index, uint64_t generation) const;

    /// The entry of a domain's own folder, a folder (`leaf`'s ancestor
    /// `level` levels below the domain's folder) and a file.
    void domain_entry(std::size_t domain, ContentEntry *entry) const;
    void folder_entry(std::size_t domain, uint64_t leaf, uint32_t level, ContentEntry *entry) const;
    void file_entry(std::size_t domain, uint64_t file, uint64_t generation,
                    ContentEntry *entry) const;
    /// The first folder level on which leaves `a` and `b` part.
    uint32_t first_different_level(uint64_t a, uint64_t b) const;

    /// The entry at `relative_path` of `domain`, if the tree has one.
    std::optional<ContentEntry> find(std::string_view domain, std::string_view relative_path,
                                     uint64_t generation) const;

  private:
    uint64_t first_file(std::size_t domain) const;
    uint64_t leaves_in(std::size_t domain) const;
    uint64_t digit_of(uint64_t leaf, uint32_t level) const;
    std::string folder_path(uint64_t leaf, uint32_t levels) const;
    std::string file_name(uint64_t index, uint64_t position) const;
    std::optional<uint64_t> folder_number(std::string_view name) const;
    std::optional<ContentEntry> find_in(std::size_t domain, std::string_view relative_path,
                                        uint64_t generation) const;

    std::shared_ptr<const SyntheticContent> config_;
    uint64_t files_per_leaf_ = 1;
    uint64_t fan_out_ = 1;              // subfolders of a folder above the leaves
    std::vector<uint64_t> level_span_;  // leaves below one folder of each level
    std::size_t folder_digits_ = 2;
    std::size_t file_digits_ = 4;
    uint64_t large_offset_ = 0;
};

/// The entries of a tree in walk order, one at a time: the walk keeps a
/// few counters, whatever the number of files.
class SyntheticWalk {
  public:
    SyntheticWalk(const SyntheticTree &tree, uint64_t generation)
        : tree_(tree), generation_(generation) {}

    /// The next entry; false after the last.
    bool next(ContentEntry *entry);

  private:
    const SyntheticTree &tree_;
    const uint64_t generation_;
    std::size_t domain_ = 0;
    bool domain_given_ = false;
    uint64_t file_ = 0;   // the domain's next file
    uint32_t level_ = 0;  // the next folder level to give before that file
};

/// The bytes of a synthetic file: 64-bit words of a counter-based PRNG,
/// little-endian, keyed by the seed, the file and its version.
std::unique_ptr<ContentReader> synthetic_reader(uint64_t key, uint64_t size);

}  // namespace tarvosim

#endif
