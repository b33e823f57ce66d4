#pragma once
// Reading and writing bencode trees. Include this to get the whole element family.
#include <memory>
#include <string>
#include <string_view>

#include "engine/content/QDictionaryElement.h"
#include "engine/content/QElement.h"
#include "engine/content/QIntegerElement.h"
#include "engine/content/QListElement.h"
#include "engine/content/QMultiElement.h"

namespace pf {

// Parses the element at the front of the buffer; bytes after it are ignored.
// The first byte picks the kind: 'd'/'D' dictionary, 'l'/'L' list, a digit a
// text. Null on any failure. SourceBytes() of the tree's elements point into
// `bytes`, so they are only usable while that buffer lives.
std::unique_ptr<QElement> ParseElement(const char* bytes, int length);
std::unique_ptr<QElement> ParseElement(std::string_view bytes);

// Empty, valid containers to build a tree on.
std::unique_ptr<QDictionaryElement> NewDictionary();
std::unique_ptr<QListElement> NewList();

// Bytes the tree takes, summed from its texts; 0 when any part is invalid.
int EncodedSize(const QElement* element);

// Appends the bencoded tree to `buffer`, children in stored order. False, and
// the buffer as it was, when the element or anything below it is invalid.
bool Encode(const QElement* element, std::string& buffer);

}  // namespace pf
