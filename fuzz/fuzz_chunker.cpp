// Decodes a chunked body, with and without an announced trailer, fed in pieces
// cut at fuzzer-chosen points, and compares the outcome with the same body fed
// in one piece: the verdict and the trailer must be the same, and so must the
// data written when the body decodes without error (a piece that breaks the
// framing writes nothing, so a broken single piece leaves no data). Input: the body, with the piece lengths and the trailer
// switch read from its end.
#include <cstdint>
#include <cstring>
#include <vector>

#include "body/HttpResponseDataWriter.h"
#include "fuzz/FuzzSupport.h"
#include "http/CChunker.h"

namespace {

const int kLogsOn = znfuzz::EnableAllLogs();

// Pieces are at most one receive buffer long, as the client hands them over.
constexpr size_t kMaxPiece = 16384;

struct Outcome {
  bool bOk = true;         // every Process call returned true
  bool bComplete = false;  // a call reported the end of the body
  std::vector<unsigned char> data;  // what the writer holds
  bool bTrailer = false;   // GetTrailer found a trailer
};

void Collect(zn::HttpResponseDataWriter& writer, zn::CChunker& chunker, Outcome& out) {
  unsigned char* bytes = nullptr;
  uint32_t len = 0;
  if (writer.GetBuffer(&bytes, &len)) out.data.assign(bytes, bytes + len);
  zn::strutf16 trailer;
  out.bTrailer = chunker.GetTrailer(trailer);
}

// Feeds the pieces until one fails or completes the body, as the client does.
Outcome Decode(bool bWithTrailer, const std::vector<std::vector<unsigned char>>& pieces) {
  Outcome out;
  zn::HttpResponseDataWriter writer;
  writer.Open(false, nullptr, nullptr);
  zn::CChunker chunker;
  for (const std::vector<unsigned char>& piece : pieces) {
    bool bComplete = true;  // Process must clear it
    if (!chunker.Process(bWithTrailer, piece.data(), static_cast<uint32_t>(piece.size()), &writer, bComplete)) {
      out.bOk = false;
      break;
    }
    if (bComplete) {
      out.bComplete = true;
      break;
    }
  }
  Collect(writer, chunker, out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kLogsOn;
  FuzzedDataProvider fdp(data, size);
  const bool bWithTrailer = fdp.ConsumeBool();
  znfuzz::PieceCutter cutter(fdp, kMaxPiece);
  std::vector<std::vector<unsigned char>> pieces;
  std::vector<unsigned char> whole;
  for (size_t n = cutter.NextLength(); n != 0; n = cutter.NextLength()) {
    std::vector<unsigned char> piece = fdp.ConsumeBytes<unsigned char>(n);
    if (piece.empty()) break;
    whole.insert(whole.end(), piece.begin(), piece.end());
    pieces.push_back(std::move(piece));
  }
  if (pieces.empty()) return 0;

  const Outcome split = Decode(bWithTrailer, pieces);
  const Outcome single = Decode(bWithTrailer, {whole});
  ZN_FUZZ_CHECK(split.bOk == single.bOk);
  ZN_FUZZ_CHECK(split.bComplete == single.bComplete);
  if (single.bOk) {
    ZN_FUZZ_CHECK(split.data == single.data);
    ZN_FUZZ_CHECK(split.bTrailer == single.bTrailer);
  } else {
    ZN_FUZZ_CHECK(single.data.empty());
  }
  // Null data, an empty piece and a missing writer are refused.
  zn::CChunker chunker;
  zn::HttpResponseDataWriter writer;
  bool bComplete = false;
  ZN_FUZZ_CHECK(!chunker.Process(bWithTrailer, nullptr, 1, &writer, bComplete));
  ZN_FUZZ_CHECK(!chunker.Process(bWithTrailer, whole.data(), 0, &writer, bComplete));
  ZN_FUZZ_CHECK(!chunker.Process(bWithTrailer, whole.data(), 1, nullptr, bComplete));
  return 0;
}
