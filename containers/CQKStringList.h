#ifndef QK_CONTAINERS_CQKSTRINGLIST_H_
#define QK_CONTAINERS_CQKSTRINGLIST_H_

#include "containers/CWVGrowList.h"

class CQKString;

// A list of CQKString pointers that owns its strings: they live on the heap
// and the list deletes them when emptied or destroyed. Indexes as for every
// LArray; LArray::kIndexLast appends.
class CQKStringList : public CWVGrowList {
 public:
  CQKStringList();
  ~CQKStringList() override;

  // Inserts `s` at index and takes ownership of it. False, with nothing
  // inserted, for a null `s`. Should the insertion run out of memory, `s` is
  // deleted before std::bad_alloc goes on.
  bool AddStringToList(CQKString* s, unsigned int index);
  // Inserts a heap copy of `s`; the caller's string stays its own.
  bool AddStringToList(const CQKString& s, unsigned int index);
  // The string at index, still owned by the list, or null for an invalid
  // index.
  const CQKString* GetStringAt(unsigned int index) const;
  // Deletes every string; the list is left empty, without a block.
  void EmptyListAndDeleteContents();
};

#endif  // QK_CONTAINERS_CQKSTRINGLIST_H_
