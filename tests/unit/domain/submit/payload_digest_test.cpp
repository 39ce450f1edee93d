#include "domain/submit/payload_digest.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <vector>

namespace vantrel {
namespace {

const std::vector<std::uint8_t> SIGNATURE{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::string one_shot_sha256(const std::vector<std::uint8_t>& bytes) {
  unsigned char hash[32];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), hash, &size, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned i = 0; i < size; ++i) {
    static constexpr char HEX[] = "0123456789abcdef";
    hex += HEX[hash[i] >> 4];
    hex += HEX[hash[i] & 15];
  }
  return hex;
}

TEST(PayloadDigest, WorkedExampleAppendsQueueDpiAndCopies) {
  const std::string digest = compute_payload_sha256(SIGNATURE, "P", std::nullopt, 203, 1);
  EXPECT_EQ(digest, "a176628233a991caa198745a1294dfba59cc5cf494c8a35b0de0f45caae9df26");
  std::vector<std::uint8_t> concatenated = SIGNATURE;
  concatenated.insert(concatenated.end(), {0x50, 0xCB, 0x00, 0x00, 0x00, 0x01, 0x00});
  EXPECT_EQ(digest, one_shot_sha256(concatenated));
}

TEST(PayloadDigest, MediaBytesFollowTheQueueName) {
  EXPECT_EQ(compute_payload_sha256(SIGNATURE, "P", "4x6", 300, 2),
            "76f6efdf59cc6f5e4627f7f085d4fe142845f2dac9a07cacf17ccf3d4d1744f5");
  // No separator: the boundary between queue and media is not part of the digest.
  EXPECT_EQ(compute_payload_sha256(SIGNATURE, "P4", "x6", 300, 2),
            compute_payload_sha256(SIGNATURE, "P", "4x6", 300, 2));
  // An empty media token adds no bytes either.
  EXPECT_EQ(compute_payload_sha256(SIGNATURE, "P", "", 300, 2),
            compute_payload_sha256(SIGNATURE, "P", std::nullopt, 300, 2));
}

TEST(PayloadDigest, EveryPrintedInputChangesIt) {
  const std::string base = compute_payload_sha256(SIGNATURE, "P", std::nullopt, 203, 1);
  EXPECT_NE(compute_payload_sha256(SIGNATURE, "P", std::nullopt, 203, 2), base);
  EXPECT_NE(compute_payload_sha256(SIGNATURE, "Q", std::nullopt, 203, 1), base);
  EXPECT_NE(compute_payload_sha256(SIGNATURE, "P", "4x6", 203, 1), base);
  EXPECT_NE(compute_payload_sha256(SIGNATURE, "P", std::nullopt, 300, 1), base);
  std::vector<std::uint8_t> other = SIGNATURE;
  other.back() ^= 1;
  EXPECT_NE(compute_payload_sha256(other, "P", std::nullopt, 203, 1), base);
  // Same inputs, same digest: the title and intent_id are not among them.
  EXPECT_EQ(compute_payload_sha256(SIGNATURE, "P", std::nullopt, 203, 1), base);
}

}  // namespace
}  // namespace vantrel
