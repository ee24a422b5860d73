#include "config/configuration.h"

#include <libxml/tree.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "config/xml.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/text.h"
#include "support/vaformat.h"

bool readBoolean(const std::wstring& value) { return text::startsWithTrue(value); }

int32_t readInteger(const std::wstring& value) { return static_cast<int32_t>(text::parseLeadingInt64(value)); }

namespace {

// What one reading of the document takes in: the domains, the references
// to them (FTP users and addresses, databases, mailboxes) with the
// parameters, or both. References resolve against every domain of the
// document, so both at once holds only while no domain follows a reference.
enum Part : unsigned { kDomains = 1, kReferences = 2, kBoth = kDomains | kReferences };

// The warnings of unresolved references are reported after every domain's
// Info line, kind by kind in this order.
enum WarningKind { kFtpUser, kAnonFtp, kDatabase, kMailbox, kWarningKinds };

struct Load {
  explicit Load(DomainModel& m) : model(m) {}
  DomainModel& model;
  // Every domain element in document order (a record replaced by a later one
  // of the same id included), for the Info lines.
  std::vector<std::shared_ptr<DomainInfo>> domains;
  std::vector<std::wstring> warnings[kWarningKinds];
  bool referenceLooked = false;
  // A "param" already set one of the antivirus values, which the antivirus
  // element then leaves alone.
  bool paramSetAntivirus = false, paramSetSpam = false;
};

std::shared_ptr<DomainInfo> readDomain(xmlNode* node) {
  auto domain = std::make_shared<DomainInfo>(getAttribute(node, "id"), getAttribute(node, "name"));
  domain->guid = getAttribute(node, "guid");
  domain->hosting = readBoolean(getAttribute(node, "hosting"));
  domain->calculateMail = readBoolean(getAttribute(node, "calculateMail"));
  domain->wwwRoot = getAttribute(node, "wwwRoot");
  domain->webspaceName = getAttribute(node, "webspaceName");
  domain->webStatType = getAttribute(node, "webStatType");
  domain->tomcatService = readBoolean(getAttribute(node, "tomcatService"));
  return domain;
}

void readLogRotation(LogRotationSettings& r, xmlNode* rotation) {
  r.enabled = readBoolean(getAttribute(rotation, "enabled"));
  r.maxNumberOfFiles = readInteger(getAttribute(rotation, "maxNumberOfFiles"));
  r.rotateBySize = readBoolean(getAttribute(rotation, "rotateBySize"));
  r.period = getAttribute(rotation, "period");
  r.compress = readBoolean(getAttribute(rotation, "compress"));
  r.email = getAttribute(rotation, "email");
}

DomainInfo* lookUp(Load& load, const std::wstring& domainId) {
  load.referenceLooked = true;
  return load.model.findDomainById(domainId);
}

void readFtpChild(Load& load, xmlNode* node) {
  DomainModel& model = load.model;
  if (isElement(node, "user")) {
    const std::wstring login = getAttribute(node, "login");
    const std::wstring domainId = getAttribute(node, "domainId");
    if (DomainInfo* d = lookUp(load, domainId))
      model.ftpLoginDomains[login] = d->name;
    else
      load.warnings[kFtpUser].push_back(vaformat(L"Unable to find domain for FTP login %s on domain id = %s", login, domainId));
  } else if (isElement(node, "ip")) {
    model.ftpServerAddresses.push_back(getAttribute(node, "address"));
  } else if (isElement(node, "anon-ip")) {
    const std::wstring address = getAttribute(node, "address");
    const std::wstring domainId = getAttribute(node, "domainId");
    if (DomainInfo* d = lookUp(load, domainId))
      model.anonFtpDomains[address] = d->name;
    else
      load.warnings[kAnonFtp].push_back(vaformat(L"Unable to find domain for anonymous FTP address %s, domain id = %s", address, domainId));
  }
}

struct ServerScope {
  DatabaseServer server;
  bool mysql = false, mssql = false;
};

ServerScope readServer(xmlNode* node) {
  ServerScope s;
  s.server.port = readInteger(getAttribute(node, "port"));
  s.server.password = getAttribute(node, "password");
  s.server.login = getAttribute(node, "login");
  s.server.host = getAttribute(node, "host");
  s.server.type = getAttribute(node, "type");
  s.server.id = readInteger(getAttribute(node, "id"));
  s.mysql = text::equalsIgnoreCase(s.server.type, L"mysql");
  s.mssql = text::equalsIgnoreCase(s.server.type, L"mssql");
  return s;
}

void readDatabase(Load& load, const ServerScope& s, xmlNode* db) {
  const std::wstring name = getAttribute(db, "name");
  const std::wstring domainId = getAttribute(db, "domainId");
  DomainInfo* d = lookUp(load, domainId);
  if (!d) {
    load.warnings[kDatabase].push_back(vaformat(L"Unable to find domain for database %s on server %s (%s)", name, s.server.host, s.server.type));
    return;
  }
  if (s.mysql) d->mysqlDatabases[s.server].push_back(name);
  if (s.mssql) d->mssqlDatabases[s.server].push_back(name);
}

void readMailbox(Load& load, xmlNode* box) {
  const std::wstring name = getAttribute(box, "name");
  const std::wstring domainId = getAttribute(box, "domainId");
  if (DomainInfo* d = lookUp(load, domainId))
    d->mailNames.push_back(name);
  else
    load.warnings[kMailbox].push_back(vaformat(L"Unable to find domain for mailname %s on domain id = %s", name, domainId));
}

// Reads the document once for `parts`, the model changed as its elements go
// by. Only the root's children and their children count; of "ftp", "mail"
// and "antivirus" only the first; of a domain's "logRotation" only the
// first. False when, reading both parts, a domain follows a reference: the
// references must then be read again once every domain is known.
bool readDocument(Load& load, vfs::File& file, const std::wstring& path, unsigned parts) {
  if (::lseek(file.fd(), 0, SEEK_SET) != 0) throw vexception(L"Unable to read file from its start\n at load " + path, VLOC(L"", "readDocument"));
  XmlElementReader reader(file, path);
  DomainModel& model = load.model;
  enum class Scope { None, Domain, Ftp, Server, Mail };
  Scope scope = Scope::None;
  bool ftpSeen = false, mailSeen = false, antivirusSeen = false, rotationSeen = false;
  DomainInfo* domain = nullptr;
  ServerScope server;
  while (reader.next()) {
    xmlNode* node = reader.element();
    if (reader.depth() == 1) {
      scope = Scope::None;
      if (isElement(node, "domain")) {
        if (!(parts & kDomains)) continue;
        if ((parts & kReferences) && load.referenceLooked) return false;
        std::shared_ptr<DomainInfo> d = readDomain(node);
        model.domainsById[d->id] = d;
        model.domainIdsByName[d->name] = d->id;
        domain = d.get();
        load.domains.push_back(std::move(d));
        rotationSeen = false;
        scope = Scope::Domain;
        continue;
      }
      if (!(parts & kReferences)) continue;
      if (isElement(node, "ftp")) {
        if (!ftpSeen) scope = Scope::Ftp;
        ftpSeen = true;
      } else if (isElement(node, "database-server")) {
        server = readServer(node);
        scope = Scope::Server;
      } else if (isElement(node, "mail")) {
        if (!mailSeen) scope = Scope::Mail;
        mailSeen = true;
      } else if (isElement(node, "antivirus")) {
        if (!antivirusSeen) {
          if (!load.paramSetAntivirus) model.params[L"LastAntivirusStatisticLog"] = getAttribute(node, "LastAntivirusStatisticLog");
          if (!load.paramSetSpam) model.params[L"LastSpamStatisticLog"] = getAttribute(node, "LastSpamStatisticLog");
        }
        antivirusSeen = true;
      } else if (isElement(node, "param")) {
        const std::wstring name = getAttribute(node, "name");
        if (name == L"LastAntivirusStatisticLog") load.paramSetAntivirus = true;
        if (name == L"LastSpamStatisticLog") load.paramSetSpam = true;
        model.params[name] = getAttribute(node, "value");
      }
      continue;
    }
    if (reader.depth() != 2) continue;
    switch (scope) {
      case Scope::Domain:
        if (isElement(node, "alias")) {
          domain->aliases.push_back(getAttribute(node, "name"));
        } else if (isElement(node, "logRotation") && !rotationSeen) {
          rotationSeen = true;
          readLogRotation(domain->logRotation, node);
        }
        break;
      case Scope::Ftp: readFtpChild(load, node); break;
      case Scope::Server:
        if (isElement(node, "db")) readDatabase(load, server, node);
        break;
      case Scope::Mail:
        if (isElement(node, "box")) readMailbox(load, node);
        break;
      case Scope::None: break;
    }
  }
  return true;
}

void readInto(Load& load, vfs::File& file, const std::wstring& path, bool mayBeBoth) {
  if (mayBeBoth) {
    if (readDocument(load, file, path, kBoth)) return;
    // A domain came after a reference: start over, the domains first.
    load.model = DomainModel();
    load.domains.clear();
    for (auto& kind : load.warnings) kind.clear();
    load.referenceLooked = load.paramSetAntivirus = load.paramSetSpam = false;
  }
  readDocument(load, file, path, kDomains);
  readDocument(load, file, path, kReferences);
}

}  // namespace

void loadConfiguration(DomainModel& model, const std::wstring& path) {
  vfs::File file;
  try {
    file = vfs::openRead(path);
  } catch (const vexception& e) {
    throw vexception(e.message() + L"\n at load " + path, VLOC(L"", "loadConfiguration"));
  }
  // The model is built aside and handed over whole, so that a document found
  // broken halfway leaves the caller's model as it was; one that holds
  // something already is added to only once a first reading found the
  // whole document sound.
  DomainModel built;
  Load load(built);
  if (model.domainsById.empty() && model.domainIdsByName.empty() && model.ftpLoginDomains.empty() && model.ftpServerAddresses.empty() &&
      model.anonFtpDomains.empty() && model.params.empty()) {
    readInto(load, file, path, true);
    model.domainsById = std::move(built.domainsById);
    model.domainIdsByName = std::move(built.domainIdsByName);
    model.ftpLoginDomains = std::move(built.ftpLoginDomains);
    model.ftpServerAddresses = std::move(built.ftpServerAddresses);
    model.anonFtpDomains = std::move(built.anonFtpDomains);
    model.params = std::move(built.params);
  } else {
    readDocument(load, file, path, 0);
    Load into(model);
    readInto(into, file, path, false);
    load.domains = std::move(into.domains);
    for (int k = 0; k < kWarningKinds; ++k) load.warnings[k] = std::move(into.warnings[k]);
  }
  for (const auto& d : load.domains) logMessage(LogLevel::Info, L"Domain %s ordered to process", d->name);
  load.domains.clear();
  for (const auto& kind : load.warnings)
    for (const std::wstring& w : kind) logMessage(LogLevel::Warning, L"%s", w);
}
