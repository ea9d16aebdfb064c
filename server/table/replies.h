#pragma once
// The replies of a directory: the fixed ones, each entry's as the wire
// carries it, and the table of them built from a database, every entry
// checked as an import checks it.

#include "directory.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmario::server {

inline constexpr std::string_view kNotRegistered = "Número de control no registrado";
inline constexpr std::string_view kInvalidRequest = "Solicitud no válida";
inline constexpr std::string_view kBusy = "Servidor ocupado: intente más tarde";
inline constexpr std::string_view kTooManyLookups = "Demasiadas consultas: intente más tarde";
inline constexpr std::string_view kServerError = "Error del servidor: intente más tarde";

// A fixed reply ("text*"), in Windows-1252: kNotRegistered, kInvalidRequest,
// kBusy, kTooManyLookups, kServerError.
const std::string& fixedReply(std::string_view text);

// Appends the reply for one entry (Windows-1252 "name*telephone") to
// `out`; the not-registered reply for text with no Windows-1252 form, which
// only a database written by hand could hold.
void appendReply(std::string_view nameUtf8, std::string_view telephoneUtf8, std::string& out);

enum class Holding {
    InMemory,   // the replies are in memory
    TooLarge,   // more than maxEntries entries, or no memory for them
    Unreadable, // the table could not be read to its end: the file is damaged
    Invalid,    // an entry breaks the rules of a directory
};

// Reads every reply of `directory` into a table in memory, `replies`, unless
// it has more than maxEntries entries. Every entry is checked as an import
// checks it; `problem` names the first that is not (Invalid).
// `stopped`, if given, is asked now and then whether to give up (then
// Unreadable).
// With `filesIn`, the table is built in files made there
// (ReplyIndex::inFiles), whatever its size: TooLarge, with why in
// `problem`, when they cannot be made.
Holding readReplies(Directory& directory, std::size_t maxEntries, std::string& problem,
                    std::unique_ptr<const ReplyIndex>& replies, bool (*stopped)() = nullptr,
                    const std::string& filesIn = {});

// Reads the whole directory and checks every entry: the entry that breaks
// the rules, "" when all keep them, or nothing if it cannot be read.
std::optional<std::string> checkDirectory(Directory& directory);

} // namespace velmario::server
