// The persistent base of the settings classes: one object is copied into
// another through Assign (copy Source into this) and AssignTo (copy this into
// Dest). Each class checks the other object's class and throws EConvertError
// for one it cannot copy, before anything is changed.
#pragma once

class TPersistent {
 public:
  virtual ~TPersistent() = default;
  virtual void AssignTo(TPersistent& Dest) const = 0;
  virtual void Assign(const TPersistent& Source) = 0;

 protected:
  TPersistent() = default;
  TPersistent(const TPersistent&) = default;
  TPersistent& operator=(const TPersistent&) = default;
};
