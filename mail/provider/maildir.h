// Mailbox sizes from Maildir folders.
//
// Layout: <mail root>/<domain>/<mailbox>/Maildir, holding the inbox's
// messages in cur/ and new/ and, Maildir++ style, one folder per mail folder
// (".Sent", ".Trash", ".Archive.2024", ...) with cur/ and new/ of its own.
// tmp/ holds messages still being delivered and is not counted.
#pragma once

#include <cstdint>
#include <string>

namespace mailprovider {

// The bytes of the mailbox's messages: the regular files in cur/ and new/ of
// the inbox and of each Maildir++ folder, read from the directory listings
// (lstat sizes; a link is neither followed nor counted). Domain and mailbox
// names must be plain names (no "/", "." or ".."). A mailbox whose Maildir,
// cur/ or new/ does not exist (or is a link) raises: it has no size.
uint64_t maildirSize(const std::wstring& mailRoot, const std::wstring& domain, const std::wstring& mailbox);

}  // namespace mailprovider
