// The byte layout of a log (wal.hpp describes it) as its reader and its
// writer address it, and the two ways their calls fail. Only the log's own
// sources include this.
#pragma once

#include <cstddef>
#include <expected>

#include "wal.hpp"

namespace kestrix::wal {

inline constexpr char LOG_MAGIC[8] = {'K', 'X', 'L', 'O', 'G', '\0', '\r', '\n'};
inline constexpr char RECORD_MAGIC[4] = {'K', 'X', 'R', 'C'};

// Header fields.
inline constexpr std::size_t H_VERSION = 8;
inline constexpr std::size_t H_META_LENGTH = 12;
inline constexpr std::size_t H_BASE = 16;
inline constexpr std::size_t H_TAG = 24;
inline constexpr std::size_t H_RESERVED = 40;
inline constexpr std::size_t H_CRC = 44;

// Record header fields.
inline constexpr std::size_t R_KIND = 4;
inline constexpr std::size_t R_SEQ = 8;
inline constexpr std::size_t R_LENGTH = 16;
inline constexpr std::size_t R_PAYLOAD_CRC = 24;
inline constexpr std::size_t R_CRC = 28;

inline std::unexpected<LogError> io_error(int error) noexcept {
    return std::unexpected(LogError{LogError::Kind::Io, error});
}
inline std::unexpected<LogError> fail(LogError::Kind kind) noexcept { return std::unexpected(LogError{kind, 0}); }

}  // namespace kestrix::wal
