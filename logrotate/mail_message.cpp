#include "logrotate/mail_message.h"

#include <Poco/Exception.h>
#include <Poco/Net/MailMessage.h>
#include <Poco/Net/MailRecipient.h>
#include <Poco/Net/PartSource.h>
#include <Poco/Net/StringPartSource.h>

#include <istream>
#include <sstream>
#include <streambuf>

#include "logrotate/mail_config.h"
#include "logrotate/smtp_session.h"
#include "support/logging.h"
#include "support/text.h"

namespace {

using Poco::Net::MailMessage;

// A read buffer over an open file; a read failure is thrown on through the
// stream, so that a half-read attachment fails the send instead of going out
// cut short.
class FileStreamBuf : public std::streambuf {
 public:
  explicit FileStreamBuf(vfs::File file) : file_(std::move(file)) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const size_t n = file_.read(buffer_, sizeof buffer_);
    if (n == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }

 private:
  vfs::File file_;
  char buffer_[65536];
};

class VFilePartSource : public Poco::Net::PartSource {
 public:
  VFilePartSource(vfs::File file, std::string fileName)
      : Poco::Net::PartSource("application/octet-stream"), buf_(std::move(file)), stream_(&buf_), fileName_(std::move(fileName)) {
    stream_.exceptions(std::ios::badbit);
  }
  std::istream& stream() override { return stream_; }
  const std::string& filename() const override { return fileName_; }

 private:
  FileStreamBuf buf_;
  std::istream stream_;
  std::string fileName_;
};

std::string withCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

bool isAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c > 127) return false;
  return true;
}

// A header's text never carries a control character: each becomes its
// Unicode control picture (U+2400 + code, DEL U+2421), so that a log named
// "b\r\nBcc: ..." reads as one visible name and cannot end the header.
std::wstring visibleControls(const std::wstring& text) {
  std::wstring out = text;
  for (wchar_t& c : out) {
    if (c < 0x20) c = static_cast<wchar_t>(0x2400 + c);
    else if (c == 0x7f) c = 0x2421;
  }
  return out;
}

// An encoded word (RFC 2047, UTF-8) for header text; ASCII without control
// characters stays as it is.
std::string headerWord(const std::wstring& text) { return MailMessage::encodeWord(text::toUtf8(visibleControls(text)), "UTF-8"); }

// "\"name\" <address>"; a name outside ASCII becomes an encoded word of its
// own (an encoded word is not allowed inside a quoted string).
std::string senderHeader(const std::wstring& name, const std::wstring& address) {
  const std::string utf8Name = text::toUtf8(visibleControls(name));
  const std::string bareAddress = "<" + text::toUtf8(visibleControls(address)) + ">";
  if (!isAscii(utf8Name)) return MailMessage::encodeWord(utf8Name, "UTF-8") + " " + bareAddress;
  std::string quoted = "\"";
  for (char c : utf8Name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" " + bareAddress;
}

void addHeaders(MailMessage& message, const std::wstring& headers) {
  std::istringstream lines(text::toUtf8(headers));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size() : value.find_first_not_of(" \t"));
    message.set(line.substr(0, colon), value);
  }
}

}  // namespace

struct PocoMailMessage::Impl {
  MailMessage message;
  std::wstring sender;  // as shown in the log
  std::wstring recipientAddress, recipientName;

  void send();
};

PocoMailMessage::PocoMailMessage(MailContent content) : impl_(std::make_unique<Impl>()) {
  logMessage(LogLevel::Info, L"Create mail from='%s', to='%s', subject='%s', body='%s'", content.senderAddress, content.recipientAddress, content.subject,
             content.plainBody);
  MailMessage& m = impl_->message;
  impl_->sender = L"\"" + content.senderName + L"\" <" + content.senderAddress + L">";
  m.setSender(senderHeader(content.senderName, content.senderAddress));
  if (!content.recipientAddress.empty()) {
    m.addRecipient(Poco::Net::MailRecipient(Poco::Net::MailRecipient::PRIMARY_RECIPIENT, text::toAnsi(visibleControls(content.recipientAddress)),
                                            text::toAnsi(visibleControls(content.recipientName))));
    impl_->recipientAddress = content.recipientAddress;
    impl_->recipientName = content.recipientName;
  }
  m.setSubject(headerWord(content.subject));
  if (!content.extraHeaders.empty()) addHeaders(m, content.extraHeaders);

  for (const std::wstring& path : content.attachmentPaths) content.attachments.push_back({vfs::fileName(path), vfs::openRead(path)});
  if (content.htmlBody.empty() && content.attachments.empty()) {
    m.setContentType("text/plain;charset=UTF-8");
    m.setContent(text::toUtf8(content.plainBody), MailMessage::ENCODING_8BIT);
    return;
  }
  m.addContent(new Poco::Net::StringPartSource(withCrLf(text::toUtf8(content.plainBody)), "text/plain;charset=UTF-8"), MailMessage::ENCODING_8BIT);
  if (!content.htmlBody.empty())
    m.addContent(new Poco::Net::StringPartSource(withCrLf(text::toUtf8(content.htmlBody)), "text/html;charset=UTF-8"), MailMessage::ENCODING_8BIT);
  for (MailAttachment& a : content.attachments) {
    const std::string name = headerWord(a.name);
    m.addAttachment(name, new VFilePartSource(std::move(a.file), name), MailMessage::ENCODING_BASE64);
  }
}

PocoMailMessage::~PocoMailMessage() = default;

void PocoMailMessage::send() { impl_->send(); }

void PocoMailMessage::Impl::send() {
  if (message.recipients().empty()) throw vexception(L"No one recipient specified", VLOC(L"", "PocoMailMessage::Impl::send"));
  logMessage(LogLevel::Info, L"Send mail from '%s' to '\"%s\" <%s>'", sender, recipientName, recipientAddress);
  const MailMessageSendConfig config;
  try {
    openSmtpSession(config)->send(message);
  } catch (const Poco::Exception& e) {
    throw vexception(L"Sending mail to " + recipientAddress + L" through " + config.host + L":" + std::to_wstring(config.port) + L" failed: " +
                         text::fromUtf8(e.displayText()),
                     VLOC(L"", "PocoMailMessage::Impl::send"));
  }
}
