// The contract of a Tomcat provider library. The library is named by the
// registry: the default value of
//   HKLM\SOFTWARE\Halvex\QMX Config\Config\Packages\tomcat
// names the installed Tomcat package ("none" or empty: no Tomcat), and the
// string "dll" of the subkey of that name is the library's path.
//
// The library exports
//   extern "C" ITomcatProvider* getTomcatProviderInstance();
// which returns a new provider or null when the library cannot serve. The
// caller gives the provider back with release() before it unloads the library.
#pragma once

class ITomcatProvider {
 public:
  // Slot 0. The version of the Tomcat package the provider serves, e.g. "9".
  virtual const char* packageVersion() const = 0;
  // Slot 1. Gives the provider back; the object is not used afterwards.
  virtual void release() = 0;
  // Slot 2. The directory under which the provider keeps a domain's web
  // applications, relative to <PRODUCT_DATA_D> ("var/tomcat/qmx-wars").
  virtual const char* webappsDirectory() const = 0;

 protected:
  // Not deleted through this interface: release() ends the object.
  ~ITomcatProvider() = default;
};

extern "C" {
using GetTomcatProviderInstanceFunction = ITomcatProvider* (*)();
}
