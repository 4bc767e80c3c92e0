// The error hierarchy. Every error the program raises derives from Exception, carries
// a fixed English message and reports its own class name, which the driver prints in
// its final log line ("%s: %s"). Class names are part of the program's output.
#pragma once

#include <exception>
#include <string>

namespace qb {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// Declares an error class that adds nothing but its name to its base.
#define QB_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

// Runtime errors shared by every layer.
QB_DECLARE_EXCEPTION(EConvertError, Exception);
QB_DECLARE_EXCEPTION(EVariantError, Exception);
QB_DECLARE_EXCEPTION(EVariantTypeCastError, EVariantError);
QB_DECLARE_EXCEPTION(EInvalidCast, Exception);
QB_DECLARE_EXCEPTION(EThread, Exception);
QB_DECLARE_EXCEPTION(EOSError, Exception);
QB_DECLARE_EXCEPTION(EStreamError, Exception);
QB_DECLARE_EXCEPTION(EReadError, EStreamError);
QB_DECLARE_EXCEPTION(EWriteError, EStreamError);
QB_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
QB_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
QB_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);

}  // namespace qb
