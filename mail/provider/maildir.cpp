#include "mail/provider/maildir.h"

#include "support/exceptions.h"
#include "support/fs.h"

namespace mailprovider {

namespace {

uint64_t filesSize(const vfs::Directory& folder) {
  uint64_t total = 0;
  for (const vfs::DirEntry& e : folder.list())
    if (e.type == vfs::EntryType::File) total += e.size;
  return total;
}

// cur/ and new/ of one folder; `required`: their absence is an error.
uint64_t folderSize(const vfs::Directory& folder, bool required) {
  uint64_t total = 0;
  for (const wchar_t* part : {L"cur", L"new"}) {
    if (!required && !folder.exists(part)) continue;
    total += filesSize(folder.openSubdirectory(part));
  }
  return total;
}

}  // namespace

uint64_t maildirSize(const std::wstring& mailRoot, const std::wstring& domain, const std::wstring& mailbox) {
  // Dovecot and Postfix make the folders at the first delivery: a mailbox
  // never used has none of them and holds 0 bytes. A link in their place is
  // refused, and a missing mail root is a wrong setting, not an empty host.
  vfs::Directory folder = vfs::Directory::open(mailRoot);
  for (const std::wstring& name : {domain, mailbox, std::wstring(L"Maildir")}) {
    if (name.empty() || name == L"." || name == L".." || name.find(L'/') != std::wstring::npos)
      throw vexception(L"Invalid mailbox name part '" + name + L"'", VLOC(L"", "mailprovider::maildirSize"));
    if (!folder.exists(name)) return 0;
    folder = folder.openSubdirectory(name);
  }
  const vfs::Directory& maildir = folder;
  uint64_t total = folderSize(maildir, true);
  for (const vfs::DirEntry& e : maildir.list()) {
    if (e.type != vfs::EntryType::Directory || e.name.size() < 2 || e.name[0] != L'.' || e.name == L"..") continue;
    total += folderSize(maildir.openSubdirectory(e.name), false);
  }
  return total;
}

}  // namespace mailprovider
