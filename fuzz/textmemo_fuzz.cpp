// Fuzz target of the memo editor's private clipboard data (text, a zero
// byte, a 280-byte format record per character): whatever decodes is
// inserted into a memo, copied out again and must decode to the same text
// and records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "view/pxtextc.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::u32string text;
  TPXMemoFormatList records;
  if (!TPXMemo::DecodePrivateData(bytes, text, records)) return 0;
  if (records.size() != text.size()) std::abort();
  TPXMemo memo;
  for (size_t i = 0; i < text.size(); ++i) {
    memo.CurrentFormat() = records[i];
    memo.InsertChar(text[i]);
  }
  std::u32string text2;
  TPXMemoFormatList records2;
  if (!TPXMemo::DecodePrivateData(memo.EncodePrivateData(0, memo.Length()), text2, records2)) std::abort();
  if (text2 != text || records2.size() != records.size()) std::abort();
  for (size_t i = 0; i < records.size(); ++i)
    if (!SameMemoFormat(records[i], records2[i])) std::abort();
  return 0;
}
