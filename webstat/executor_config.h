// "web_stat_executor.conf": the file a run leaves in each hosted domain's
// logs directory to tell the web statistics executor whose directory it is,
// which analyser to run, the domain's webspace, default document and
// aliases. Written here by the run, read back by web-stat-executor.
//
//   <config><domain name=".." logs_directory=".." webspaceName=".." default_doc="..">
//     <webstat type=".."/><alias name=".."/>...
//   </domain></config>
#pragma once

#include <string>
#include <vector>

#include "config/domain.h"

namespace vfs {
class Directory;
}

inline constexpr const wchar_t* kWebStatExecutorConfigName = L"web_stat_executor.conf";

// Writes the file for a domain, or nothing when the domain has no hosting or
// webhostctl reported no logs directory for it. The document (UTF-8, no
// indentation) is made with libxml2's writer and put in place as a new
// exclusive file renamed over the name, so a link planted there is replaced,
// never written through; the file belongs to the directory's owner. A file
// already in place with the same bytes (one link, the directory's owner's,
// writable by nobody else) is left as it is. Raises the XML writer's or the
// file system's error (a missing or read-only logs directory) naming the path.
void writeWebStatExecutorConfig(DomainInfo& domain);

// The files of a whole run, made durable together: add() names a domain,
// commit() renders each domain's document (a failure costs that domain, as
// below), writes the ones that changed as new files, flushes them with one
// syncfs per file system, renames each over its name and flushes the
// renames the same way, so that a run costs two flushes rather than one per
// domain and, when no domain's settings changed, none. Only the files
// written wait for their rename, by their scratch name: a host's documents
// are never all held at once. A domain whose file cannot be rendered or put
// in place is logged as an Error ("Save domain <name> status", naming the
// file) and keeps its old file; the others go on. commit() returns once
// every file is on disk. The domains must outlive commit().
class WebStatExecutorConfigBatch {
 public:
  void add(DomainInfo& domain);
  void commit();

 private:
  struct Written {
    DomainInfo* domain;
    std::wstring temp;
  };
  std::vector<DomainInfo*> pending_;
};

// The content of the file.
struct WebStatExecutorConfig {
  std::wstring name;
  std::wstring logsDirectory;
  std::wstring webspaceName;
  std::wstring defaultDocument;
  std::wstring webStatType;
  std::vector<std::wstring> aliases;
};

// The document text for a configuration, as writeWebStatExecutorConfig
// writes it.
std::string renderWebStatExecutorConfig(const WebStatExecutorConfig& config);

// Reads the file from an open logs directory (a link or any other non-regular
// entry is refused). Raises naming the file: unreadable, larger than 1 MiB,
// not well-formed, or without a named `domain` element.
WebStatExecutorConfig readWebStatExecutorConfig(const vfs::Directory& logsDirectory);
