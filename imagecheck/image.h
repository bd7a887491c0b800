// SPDX-License-Identifier: MIT
// A board's root file system, read as data: a folder or a tar archive.
// Every path is resolved inside the image, symbolic links included (an
// absolute link starts again at the image's root, ".." stops there), so
// nothing outside the image is ever read.
#ifndef IMAGECHECK_IMAGE_H
#define IMAGECHECK_IMAGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class NodeKind { Missing, File, Dir, Link, Other };

struct Node {
    NodeKind kind = NodeKind::Missing;
    uint32_t mode = 0;   // permission bits
    std::string target;  // a link's target
};

// The raw store behind an image. Paths given to it are absolute, normalised
// and free of links in every folder above the last component.
class ImageStore {
public:
    virtual ~ImageStore() = default;
    virtual Node lstat(const std::string &path) = 0;
    // At most max bytes of a regular file; false with err when it cannot.
    virtual bool read(const std::string &path, size_t max, std::string &out, std::string &err) = 0;
    virtual std::vector<std::string> list(const std::string &dir) = 0;
};

// Opens a folder or a tar archive (any compression libarchive knows).
// Null with err when it is neither or the archive is malformed.
std::unique_ptr<ImageStore> image_open(const std::string &where, std::string &err);

// A tar archive held in memory.
std::unique_ptr<ImageStore> image_from_tar_bytes(const void *data, size_t size, std::string &err);

struct Resolved {
    bool ok = false;
    std::string path;           // the real path inside the image
    Node node;
    std::string error;          // why it was not found
    std::vector<std::string> links;  // "link -> target" met on the way
};

// Resolves path inside the image, following links (the last one too when
// follow_last), at most 40 of them.
Resolved image_resolve(ImageStore &img, const std::string &path, bool follow_last = true);
// Reads a file after resolving its path; err says what went wrong.
bool image_read(ImageStore &img, const std::string &path, size_t max, std::string &out, std::string &err);

// Splits "a/b//../c" into components; absolute or not alike.
std::vector<std::string> path_components(const std::string &path);

#endif
