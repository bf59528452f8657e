// A certificate object of the library, as SetCert and AddHttpCertificate take it: all they ask of
// it is its own library context id. This program creates none.
#pragma once

namespace varnelo {

class LibraryCertificate {
  public:
    virtual ~LibraryCertificate() = default;
    virtual int LibraryContext() const = 0;
};

}  // namespace varnelo
