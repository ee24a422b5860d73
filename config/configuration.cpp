#include "config/configuration.h"

#include <libxml/tree.h>

#include "config/xml.h"
#include "support/logging.h"
#include "support/text.h"

bool readBoolean(const std::wstring& value) { return text::startsWithTrue(value); }

int32_t readInteger(const std::wstring& value) { return static_cast<int32_t>(text::parseLeadingInt64(value)); }

namespace {

void loadDomains(DomainModel& model, xmlNode* root) {
  for (xmlNode* node : childElements(root, "domain")) {
    auto domain = std::make_shared<DomainInfo>(getAttribute(node, "id"), getAttribute(node, "name"));
    domain->guid = getAttribute(node, "guid");
    domain->hosting = readBoolean(getAttribute(node, "hosting"));
    domain->calculateMail = readBoolean(getAttribute(node, "calculateMail"));
    domain->wwwRoot = getAttribute(node, "wwwRoot");
    domain->webspaceName = getAttribute(node, "webspaceName");
    domain->webStatType = getAttribute(node, "webStatType");
    domain->tomcatService = readBoolean(getAttribute(node, "tomcatService"));
    for (xmlNode* alias : childElements(node, "alias")) domain->aliases.push_back(getAttribute(alias, "name"));
    if (xmlNode* rotation = firstChildElement(node, "logRotation")) {
      LogRotationSettings& r = domain->logRotation;
      r.enabled = readBoolean(getAttribute(rotation, "enabled"));
      r.maxNumberOfFiles = readInteger(getAttribute(rotation, "maxNumberOfFiles"));
      r.rotateBySize = readBoolean(getAttribute(rotation, "rotateBySize"));
      r.period = getAttribute(rotation, "period");
      r.compress = readBoolean(getAttribute(rotation, "compress"));
      r.email = getAttribute(rotation, "email");
    }
    const std::wstring id = domain->id;
    const std::wstring name = domain->name;
    model.domainsById[id] = std::move(domain);
    model.domainIdsByName[name] = id;
    logMessage(LogLevel::Info, L"Domain %s ordered to process", name);
  }
}

void loadFtp(DomainModel& model, xmlNode* root) {
  xmlNode* ftp = firstChildElement(root, "ftp");
  if (!ftp) return;
  for (xmlNode* user : childElements(ftp, "user")) {
    const std::wstring login = getAttribute(user, "login");
    const std::wstring domainId = getAttribute(user, "domainId");
    if (DomainInfo* d = model.findDomainById(domainId))
      model.ftpLoginDomains[login] = d->name;
    else
      logMessage(LogLevel::Warning, L"Unable to find domain for FTP login %s on domain id = %s", login, domainId);
  }
  for (xmlNode* ip : childElements(ftp, "ip")) model.ftpServerAddresses.push_back(getAttribute(ip, "address"));
  for (xmlNode* anon : childElements(ftp, "anon-ip")) {
    const std::wstring address = getAttribute(anon, "address");
    const std::wstring domainId = getAttribute(anon, "domainId");
    if (DomainInfo* d = model.findDomainById(domainId))
      model.anonFtpDomains[address] = d->name;
    else
      logMessage(LogLevel::Warning, L"Unable to find domain for anonymous FTP address %s, domain id = %s", address, domainId);
  }
}

void loadDatabaseServers(DomainModel& model, xmlNode* root) {
  for (xmlNode* node : childElements(root, "database-server")) {
    DatabaseServer server;
    server.port = readInteger(getAttribute(node, "port"));
    server.password = getAttribute(node, "password");
    server.login = getAttribute(node, "login");
    server.host = getAttribute(node, "host");
    server.type = getAttribute(node, "type");
    server.id = readInteger(getAttribute(node, "id"));
    const bool mysql = text::equalsIgnoreCase(server.type, L"mysql");
    const bool mssql = text::equalsIgnoreCase(server.type, L"mssql");
    for (xmlNode* db : childElements(node, "db")) {
      const std::wstring name = getAttribute(db, "name");
      const std::wstring domainId = getAttribute(db, "domainId");
      DomainInfo* d = model.findDomainById(domainId);
      if (!d) {
        logMessage(LogLevel::Warning, L"Unable to find domain for database %s on server %s (%s)", name, server.host, server.type);
        continue;
      }
      if (mysql) d->mysqlDatabases[server].push_back(name);
      if (mssql) d->mssqlDatabases[server].push_back(name);
    }
  }
}

void loadMailboxes(DomainModel& model, xmlNode* root) {
  xmlNode* mail = firstChildElement(root, "mail");
  if (!mail) return;
  for (xmlNode* box : childElements(mail, "box")) {
    const std::wstring name = getAttribute(box, "name");
    const std::wstring domainId = getAttribute(box, "domainId");
    if (DomainInfo* d = model.findDomainById(domainId))
      d->mailNames.push_back(name);
    else
      logMessage(LogLevel::Warning, L"Unable to find domain for mailname %s on domain id = %s", name, domainId);
  }
}

void loadParameters(DomainModel& model, xmlNode* root) {
  if (xmlNode* av = firstChildElement(root, "antivirus")) {
    model.params[L"LastAntivirusStatisticLog"] = getAttribute(av, "LastAntivirusStatisticLog");
    model.params[L"LastSpamStatisticLog"] = getAttribute(av, "LastSpamStatisticLog");
  }
  for (xmlNode* p : childElements(root, "param")) model.params[getAttribute(p, "name")] = getAttribute(p, "value");
}

}  // namespace

void loadConfiguration(DomainModel& model, const std::wstring& path) {
  XmlDocument doc = vxmlLoad(path);
  xmlNode* root = doc.root();
  loadDomains(model, root);
  loadFtp(model, root);
  loadDatabaseServers(model, root);
  loadMailboxes(model, root);
  loadParameters(model, root);
}
