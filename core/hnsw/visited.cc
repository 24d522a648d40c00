#include "core/hnsw/visited.h"

namespace kestrine {

VisitedSet& search_visited_set() {
  thread_local VisitedSet set;
  return set;
}

VisitedSet& insert_visited_set() {
  thread_local VisitedSet set;
  return set;
}

}  // namespace kestrine
