#include "logrotate/smtp_session.h"

#include <Poco/Environment.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/MailMessage.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SMTPClientSession.h>
#include <Poco/Net/SecureSMTPClientSession.h>

#include <csignal>
#include <mutex>
#include <sstream>
#include <type_traits>

#include "support/exceptions.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace {

constexpr const char* kSendFunction = "SMTPClientSessionEx::send";

// The words of the reply's AUTH lines, upper case, each framed by blanks.
std::string offeredMechanisms(const std::string& reply) {
  std::string words = " ";
  std::istringstream lines(reply);
  for (std::string line; std::getline(lines, line);) {
    // "250-AUTH ..." or "250 AUTH ..."; some servers also send "AUTH=...".
    if (line.size() < 8) continue;
    std::string rest = line.substr(4);
    for (char& c : rest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!rest.starts_with("AUTH ") && !rest.starts_with("AUTH=")) continue;
    for (char& c : rest)
      if (c == '=' || c == '\r' || c == '\t') c = ' ';
    words += rest.substr(5) + " ";
  }
  return words;
}

Poco::Net::Context::Ptr clientContext(const MailMessageSendConfig& config) {
  static std::once_flag once;
  std::call_once(once, [] { Poco::Net::initializeSSL(); });
  Poco::Net::Context::Params params;
  params.verificationMode = Poco::Net::Context::VERIFY_STRICT;
  params.caLocation = text::toAnsi(config.caFile);
  params.loadDefaultCAs = config.caFile.empty();
  Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
  context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
  return context;
}

template <class Base>
class SMTPClientSessionEx final : public Base, public ISMTPClientSession {
 public:
  explicit SMTPClientSessionEx(const MailMessageSendConfig& config)
      : Base(text::toAnsi(config.host), static_cast<Poco::UInt16>(config.port)), config_(config) {
    this->setTimeout(Poco::Timespan(60, 0));
  }

  void send(const Poco::Net::MailMessage& message) override {
    std::string reply;
    this->login(Poco::Environment::nodeName(), reply);
    if constexpr (std::is_same_v<Base, Poco::Net::SecureSMTPClientSession>) {
      // Never in clear when TLS was asked for.
      if (!this->startTLS(clientContext(config_)))
        throw vexception(vaformat(L"The mail server %s:%d does not offer STARTTLS; nothing was sent", config_.host, static_cast<int>(config_.port)),
                         VLOC(L"", kSendFunction));
      this->login(Poco::Environment::nodeName(), reply);
    }
    if (!config_.user.empty()) authenticate(chooseLoginMethod(reply));
    this->sendMessage(message);
    this->close();
  }

 private:
  void authenticate(SmtpLogin method) {
    const std::string user = text::toAnsi(config_.user);
    const std::string password = text::toAnsi(config_.password);
    switch (method) {
      case SmtpLogin::CramMd5: this->loginUsingCRAMMD5(user, password); break;
      case SmtpLogin::CramSha1: this->loginUsingCRAMSHA1(user, password); break;
      case SmtpLogin::Login: this->loginUsingLogin(user, password); break;
      case SmtpLogin::Plain: this->loginUsingPlain(user, password); break;
      case SmtpLogin::None: break;
    }
  }

  MailMessageSendConfig config_;
};

}  // namespace

SmtpLogin chooseLoginMethod(const std::string& ehloReply) {
  const std::string offered = offeredMechanisms(ehloReply);
  const std::pair<const char*, SmtpLogin> preference[] = {
      {" CRAM-MD5 ", SmtpLogin::CramMd5}, {" CRAM-SHA1 ", SmtpLogin::CramSha1}, {" LOGIN ", SmtpLogin::Login}, {" PLAIN ", SmtpLogin::Plain}};
  for (const auto& [word, method] : preference)
    if (offered.find(word) != std::string::npos) return method;
  return SmtpLogin::None;
}

std::unique_ptr<ISMTPClientSession> openSmtpSession(const MailMessageSendConfig& config) {
#ifdef SIGPIPE
  // A server that drops the connection (a refused TLS handshake, then QUIT)
  // must fail the send, not end the program: a write to a closed socket
  // raises SIGPIPE, whose default action ends the process, and POCO does not
  // suppress it on Linux. Started children get default signal handling back.
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
#endif
  try {
    if (config.secure) return std::make_unique<SMTPClientSessionEx<Poco::Net::SecureSMTPClientSession>>(config);
    return std::make_unique<SMTPClientSessionEx<Poco::Net::SMTPClientSession>>(config);
  } catch (const Poco::Exception& e) {
    throw vexception(vaformat(L"Unable to connect to the mail server %s:%d: %s", config.host, static_cast<int>(config.port), text::fromUtf8(e.displayText())),
                     VLOC(L"", "openSmtpSession"));
  }
}
