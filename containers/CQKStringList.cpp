#include "containers/CQKStringList.h"

#include <memory>

#include "containers/TEmptyListAndDeleteContents.h"
#include "strings/CQKString.h"

CQKStringList::CQKStringList() : CWVGrowList(sizeof(CQKString*), 0) {}

CQKStringList::~CQKStringList() { EmptyListAndDeleteContents(); }

bool CQKStringList::AddStringToList(CQKString* s, unsigned int index) {
  if (s == nullptr) return false;
  std::unique_ptr<CQKString> owned(s);
  const bool inserted = InsertItemsAt(1, index, &s, 0) != 0;
  owned.release();
  return inserted;
}

bool CQKStringList::AddStringToList(const CQKString& s, unsigned int index) {
  return AddStringToList(new CQKString(s), index);
}

const CQKString* CQKStringList::GetStringAt(unsigned int index) const {
  CQKString* s = nullptr;
  FetchItemAt(index, &s);
  return s;
}

void CQKStringList::EmptyListAndDeleteContents() {
  TEmptyListAndDeleteContents<CQKString>(this);
}
