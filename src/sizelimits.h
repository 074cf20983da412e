#pragma once

#include <QtGlobal>

// Hard caps on what is fetched or unpacked before any signature covers it. Everything from the server arrives
// over plain HTTP, so without these an endless or highly compressed answer would fill memory or the temporary
// directory. Each is far above what a real answer of its kind holds.
namespace sizelimits {

// The packed product ini as downloaded, and what it may unpack to.
constexpr qint64 kMaxPackedIniSize = 8 * 1024 * 1024;
constexpr qint64 kMaxIniSize = 32 * 1024 * 1024;
// A ".sig" file: the raw signature, 128 bytes for the publisher's key.
constexpr qint64 kMaxSignatureSize = 64 * 1024;
// The version server's answer: a handful of channels.
constexpr qint64 kMaxVersionAnswerSize = 1024 * 1024;

// How much of a file download Qt may hold before the body is written out: beyond it Qt stops reading the
// socket, so TCP flow control slows the sender instead of memory growing.
constexpr qint64 kDownloadReadBufferSize = 256 * 1024;

} // namespace sizelimits
