// Loading a configuration document of many domains: generates a document of
// 10,000 domains (aliases, log rotation, FTP users, anonymous addresses,
// databases, mailboxes, parameters), loads it into the domain model and
// prints the time and the memory the model holds (peak resident set size
// before and after). Then the same document with the domains after the
// references to them, which is read twice (the domains, then the
// references). Each load runs in a process of its own.
//
// Usage: config_bench [domains]   (default 10000)

// getrusage for the peak resident set size; fork and waitpid for a process per load.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/configuration.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

long peakRssKb() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void writeDomains(std::ofstream& out, int domains) {
  for (int i = 0; i < domains; ++i) {
    out << "  <domain id=\"" << i << "\" name=\"site" << i << ".example\" guid=\"6f1c2a90-0000-4000-8000-" << 100000000000 + i
        << "\" hosting=\"true\" calculateMail=\"true\" wwwRoot=\"/var/www/vhosts/site" << i << ".example/httpdocs\" webspaceName=\"site" << i
        << ".example\" webStatType=\"" << (i % 2 ? "awstats" : "webalizer") << "\">\n"
        << "    <alias name=\"www.site" << i << ".example\"/>\n"
        << "    <logRotation enabled=\"true\" maxNumberOfFiles=\"5\" rotateBySize=\"false\" period=\"daily\" compress=\"true\" email=\"\"/>\n"
        << "  </domain>\n";
  }
}

void writeDocument(const std::string& path, int domains, bool domainsLast) {
  std::ofstream out(path);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n";
  if (!domainsLast) writeDomains(out, domains);
  out << "  <ftp>\n";
  for (int i = 0; i < domains; ++i) out << "    <user login=\"user" << i << "\" domainId=\"" << i << "\"/>\n";
  out << "    <ip address=\"192.0.2.10\"/>\n";
  for (int i = 0; i < domains; i += 10) out << "    <anon-ip address=\"198.51." << (i / 250) % 256 << "." << i % 250 << "\" domainId=\"" << i << "\"/>\n";
  out << "  </ftp>\n  <database-server id=\"1\" type=\"mysql\" host=\"127.0.0.1\" login=\"root\" password=\"x\" port=\"3306\">\n";
  for (int i = 0; i < domains; ++i) out << "    <db name=\"db" << i << "\" domainId=\"" << i << "\"/>\n";
  out << "  </database-server>\n  <mail>\n";
  for (int i = 0; i < domains; ++i) out << "    <box name=\"info\" domainId=\"" << i << "\"/><box name=\"sales\" domainId=\"" << i << "\"/>\n";
  out << "  </mail>\n  <param name=\"include_logs\" value=\"true\"/>\n";
  if (domainsLast) writeDomains(out, domains);
  out << "</config>\n";
}

// Loads the document; prints its size, time and the growth of the peak.
bool measure(const char* title, const std::string& path, int domains) {
  const auto size = std::filesystem::file_size(path);
  const long before = peakRssKb();
  DomainModel model;
  const auto start = std::chrono::steady_clock::now();
  loadConfiguration(model, text::fromAnsi(path));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long after = peakRssKb();
  size_t mailboxes = 0;
  for (const auto& [id, d] : model.domainsById) mailboxes += d->mailNames.size();
  std::printf("%s: %d domains, %.1f MB\n", title, domains, size / 1e6);
  std::printf("  loaded %zu domains in %.3f s (%.0f domains/s)\n", model.domainsById.size(), seconds, model.domainsById.size() / seconds);
  std::printf("  peak RSS: %.1f MB before loading, %.1f MB after (%.1f MB for parsing and the model)\n", before / 1024.0, after / 1024.0,
              (after - before) / 1024.0);
  return model.domainsById.size() == static_cast<size_t>(domains) && mailboxes == 2 * static_cast<size_t>(domains);
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  const int domains = argc > 1 ? std::atoi(argv[1]) : 10000;
  testkit::Installation install;  // a private registry store and log places
  const std::string path = install.path("config.xml"), late = install.path("late.xml");
  writeDocument(path, domains, false);
  writeDocument(late, domains, true);
  // Each figure in a process of its own, forked before either loads: a child
  // starts from its parent's peak.
  bool ok = true;
  for (const auto& [title, document] : {std::pair{"configuration document", path}, std::pair{"domains after their references", late}}) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      const bool loaded = measure(title, document, domains);
      std::fflush(stdout);
      _exit(loaded ? 0 : 1);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ok = ok && child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok ? 0 : 1;
}
