#include "core/archive.hpp"

#include <algorithm>

namespace tarvo {

namespace {

constexpr std::uint64_t kChecksumMultiplier = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kChecksumStart = 0x54617276'6F426C62ULL;

// Header: format version and class-name length; trailer: the checksum.
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kTrailerBytes = 8;

// Hash buckets any blob may ask for, beyond four per byte of the blob: a
// table that once held many entries and was then emptied keeps its buckets,
// and saves them in a few bytes.
constexpr std::size_t kBucketAllowance = std::size_t{1} << 20;

std::uint64_t read_le64(const char* p) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    return v;
}

std::uint32_t read_le32(const char* p) noexcept {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    return v;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t word) noexcept {
    return std::rotl(h ^ word, 29) * kChecksumMultiplier;
}

}  // namespace

std::uint64_t archive_checksum(std::string_view bytes) noexcept {
    std::uint64_t h = kChecksumStart;
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        h = mix(h, read_le64(p));
    }
    std::uint64_t tail = 0;
    for (std::size_t i = 0; i < n; ++i) {
        tail |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    h = mix(h, tail);
    h = mix(h, static_cast<std::uint64_t>(bytes.size()));
    return h ^ (h >> 32);
}

ArchiveWriter::ArchiveWriter(std::string_view class_name) {
    out_.reserve(256);
    put_u32(kArchiveFormat);
    put_u32(static_cast<std::uint32_t>(class_name.size()));
    put_bytes(class_name.data(), class_name.size());
}

std::string ArchiveWriter::finish() {
    put_u64(archive_checksum(out_));
    return std::move(out_);
}

ArchiveReader::ArchiveReader(std::string_view blob, std::string_view class_name)
    : class_name_(class_name) {
    if (blob.size() < kHeaderBytes + kTrailerBytes) {
        fail("the data is too short to be a saved object");
    }
    const std::uint32_t format = read_le32(blob.data());
    if (format > kArchiveFormat) {
        fail("the data has format version " + std::to_string(format) +
             ", newer than the version " + std::to_string(kArchiveFormat) +
             " this build reads (or it is not saved Tarvo data)");
    }
    if (format == 0) {
        fail("the data is not saved Tarvo data (format version 0)");
    }
    const std::string_view body = blob.substr(0, blob.size() - kTrailerBytes);
    if (archive_checksum(body) != read_le64(blob.data() + body.size())) {
        fail("the data is corrupted or truncated (checksum mismatch)");
    }
    pos_ = body.data() + 4;
    end_ = body.data() + body.size();
    const std::size_t name_size = get_u32();
    const std::string_view saved{take(name_size), name_size};
    if (saved != class_name) {
        fail("the data holds a saved " + std::string(saved.substr(0, 64)) + ", not a " +
             std::string(class_name));
    }
    bucket_allowance_ = kBucketAllowance + 4 * blob.size();
}

void ArchiveReader::finish() const {
    if (remaining() != 0) {
        fail("unexpected bytes after the fields");
    }
}

void ArchiveReader::fail(std::string_view what) const {
    throw ArchiveError("cannot load " + class_name_ + ": " + std::string(what));
}

void ArchiveReader::spend_buckets(std::size_t buckets) {
    if (buckets > bucket_allowance_) {
        fail("a table asks for more buckets than the data can justify");
    }
    bucket_allowance_ -= buckets;
}

}  // namespace tarvo
