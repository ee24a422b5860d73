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
// names must be plain names (no "/", "." or ".."). A mailbox never used
// (its domain folder, its folder or its Maildir not made yet) measures 0; one
// whose Maildir lacks cur/ or new/, or where a link stands in place of a
// folder, raises: it has no size. A missing mail root raises.
uint64_t maildirSize(const std::wstring& mailRoot, const std::wstring& domain, const std::wstring& mailbox);

}  // namespace mailprovider
