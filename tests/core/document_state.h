// A database's documents as plain values, for comparing states across reopening, replay and
// concurrent runs: collection name -> document id (text form) -> document text.
#pragma once

#include <map>
#include <string>

#include "core/collection/collection_map.h"
#include "core/common/uuid.h"
#include "core/engine/engine.h"

namespace kestrine::testing {

using State = std::map<std::string, std::map<std::string, std::string>>;

inline void add_documents(State& state, const std::string& name, const Collection& collection) {
  auto& docs = state[name];
  collection.read([&docs](const CollectionData& data) {
    for (const DocumentView doc : data.all_documents()) docs[format_uuid(doc.key)] = doc.text;
  });
}

// A collection removed while the state is taken is left out.
inline State state_of(const Engine& engine) {
  State state;
  for (const std::string& name : engine.list_collections()) {
    auto collection = engine.find_collection(name);
    if (collection) add_documents(state, name, **collection);
  }
  return state;
}

inline State state_of(const CollectionMap& database) {
  State state;
  for (const std::string& name : database.collection_names()) {
    if (auto collection = database.get_collection(name)) add_documents(state, name, *collection);
  }
  return state;
}

}  // namespace kestrine::testing
