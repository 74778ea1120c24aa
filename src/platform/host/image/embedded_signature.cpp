#include "platform/host/image/embedded_signature.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "platform/host/image/elf_signature.h"

namespace vovu::platform::host {
namespace {

// SPC_INDIRECT_DATA_OBJID: the content type of an Authenticode signature.
constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";

void FreeSequence(ASN1_SEQUENCE_ANY* sequence) {
  sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free);
}
using SequencePtr = OpenSslPtr<ASN1_SEQUENCE_ANY, FreeSequence>;
using ObjectPtr = OpenSslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

// The elements of the DER SEQUENCE `der` (tag and length included); null when it is none.
SequencePtr DecodeSequence(const ASN1_STRING* der) {
  if (der == nullptr)
    return nullptr;
  const unsigned char* p = der->data;
  SequencePtr sequence(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, der->length));
  return sequence;
}

// Element `index` of `sequence` when it has type `type`; null otherwise.
const ASN1_TYPE* Element(const SequencePtr& sequence, int index, int type) {
  if (!sequence || sk_ASN1_TYPE_num(sequence.get()) <= index)
    return nullptr;
  const ASN1_TYPE* element = sk_ASN1_TYPE_value(sequence.get(), index);
  return ASN1_TYPE_get(element) == type ? element : nullptr;
}

// Reads SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
// messageDigest DigestInfo }, DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier,
// digest OCTET STRING }: the algorithm and the digest it names, and the content's value
// octets, which is what an Authenticode signer signs (the SEQUENCE without tag and length).
bool ReadIndirectData(const ASN1_TYPE* content, EmbeddedSignature* signature) {
  if (content == nullptr || ASN1_TYPE_get(content) != V_ASN1_SEQUENCE)
    return false;
  const ASN1_STRING* der = content->value.sequence;
  const SequencePtr indirect = DecodeSequence(der);
  const ASN1_TYPE* digestInfo = Element(indirect, 1, V_ASN1_SEQUENCE);
  if (digestInfo == nullptr)
    return false;
  const SequencePtr info = DecodeSequence(digestInfo->value.sequence);
  const ASN1_TYPE* algorithmId = Element(info, 0, V_ASN1_SEQUENCE);
  const ASN1_TYPE* digest = Element(info, 1, V_ASN1_OCTET_STRING);
  if (algorithmId == nullptr || digest == nullptr)
    return false;
  const SequencePtr algorithm = DecodeSequence(algorithmId->value.sequence);
  const ASN1_TYPE* oid = Element(algorithm, 0, V_ASN1_OBJECT);
  if (oid == nullptr)
    return false;
  signature->digestAlgorithm = EVP_get_digestbyobj(oid->value.object);
  if (signature->digestAlgorithm == nullptr)
    return false;
  const ASN1_OCTET_STRING* value = digest->value.octet_string;
  signature->namedDigest.assign(value->data, value->data + value->length);

  const unsigned char* p = der->data;
  long length = 0;
  int tag = 0, tagClass = 0;
  if (ASN1_get_object(&p, &length, &tag, &tagClass, der->length) & 0x80)
    return false;
  signature->signedContent.assign(p, p + length);
  return true;
}

// Decodes the DER message at the start of `bytes`; `*used` is how many bytes it took.
Pkcs7Ptr DecodeSignedData(std::span<const std::uint8_t> bytes, std::size_t* used) {
  const unsigned char* p = bytes.data();
  Pkcs7Ptr message(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  if (!message || !PKCS7_type_is_signed(message.get()) || message->d.sign == nullptr ||
      message->d.sign->contents == nullptr ||
      sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(message.get())) <= 0) {
    return nullptr;
  }
  *used = static_cast<std::size_t>(p - bytes.data());
  return message;
}

TrustStatus DecodePe(EmbeddedSignature* signature) {
  signature->kind = EmbeddedSignature::Kind::kPe;
  std::size_t used = 0;
  signature->message = DecodeSignedData(signature->layout.signature, &used);
  if (!signature->message)
    return kTrustNoSignature;
  PKCS7* contents = signature->message->d.sign->contents;
  const ObjectPtr expected(OBJ_txt2obj(kSpcIndirectDataOid, 1));
  if (!expected || OBJ_cmp(contents->type, expected.get()) != 0 ||
      !ReadIndirectData(contents->d.other, signature)) {
    return kTrustNoSignature;
  }
  return kTrustSuccess;
}

TrustStatus DecodeElf(std::span<const std::uint8_t> section, std::uint64_t offset,
                      EmbeddedSignature* signature) {
  signature->kind = EmbeddedSignature::Kind::kElf;
  signature->sectionOffset = offset;
  signature->sectionSize = section.size();
  std::size_t used = 0;
  signature->message = DecodeSignedData(section, &used);
  if (!signature->message || !PKCS7_get_detached(signature->message.get()) ||
      !std::all_of(section.begin() + static_cast<std::ptrdiff_t>(used), section.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    return kTrustNoSignature;
  }
  return kTrustSuccess;
}

// True when OpenSSL's PKCS #7 code can set up a digest for each of the message's digest
// algorithms, looked up the way it looks them up: by the algorithm's name as OBJ_obj2txt
// gives it in a buffer of its own size (50), fetched, else found by name. PKCS7_verify loses
// the copy it makes of memory input when that setup fails, so a message it would refuse for
// this reason is refused before it is called; nothing else is refused here.
bool DigestAlgorithmsKnown(PKCS7* message) {
  STACK_OF(X509_ALGOR)* algorithms = message->d.sign->md_algs;
  for (int i = 0; i < sk_X509_ALGOR_num(algorithms); ++i) {
    char name[50];
    if (OBJ_obj2txt(name, sizeof name, sk_X509_ALGOR_value(algorithms, i)->algorithm, 0) < 0)
      return false;
    (void)ERR_set_mark();
    EVP_MD* fetched = EVP_MD_fetch(nullptr, name, nullptr);
    const bool known = fetched != nullptr || EVP_get_digestbyname(name) != nullptr;
    EVP_MD_free(fetched);
    (void)ERR_pop_to_mark();
    if (!known)
      return false;
  }
  return true;
}

// PKCS7_verify of the content `data` without chain verification: every signer's message
// digest attribute and signature. An Authenticode message carries its content inside, which
// PKCS7_verify refuses together with external data, so the content is detached meanwhile.
bool VerifySignerSignatures(PKCS7* message, std::span<const std::uint8_t> data) {
  if (!DigestAlgorithmsKnown(message))
    return false;
  BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  if (!bio)
    return false;
  PKCS7* contents = message->d.sign->contents;
  ASN1_TYPE* inner = contents->d.other;
  contents->d.other = nullptr;
  const int verified = PKCS7_verify(message, nullptr, nullptr, bio.get(), nullptr,
                                    PKCS7_BINARY | PKCS7_NOVERIFY | PKCS7_NOCHAIN);
  contents->d.other = inner;
  return verified == 1;
}

TrustStatus ChainStatus(int error) {
  switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return kCertUntrustedRoot;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return kCertExpired;
    default:
      return kCertChaining;
  }
}

TrustStatus VerifyChain(PKCS7* message, X509* signer, X509_STORE* roots) {
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), roots, signer, message->d.sign->cert) != 1)
    return kCertChaining;
  if (X509_verify_cert(context.get()) != 1)
    return ChainStatus(X509_STORE_CTX_get_error(context.get()));
  if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) != 0 &&
      (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
    return kCertWrongUsage;
  }
  return kTrustSuccess;
}

}  // namespace

TrustStatus DecodeEmbeddedSignature(std::span<const std::uint8_t> image,
                                    EmbeddedSignature* signature) {
  switch (ReadPeSignatureLayout(image, &signature->layout)) {
    case ImageLookup::kFound:
      return DecodePe(signature);
    case ImageLookup::kMissing:
      return kTrustNoSignature;
    case ImageLookup::kNotThisFormat:
      break;
  }
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> section;
  switch (FindElfSignatureSection(image, &offset, &section)) {
    case ImageLookup::kFound:
      return DecodeElf(section, offset, signature);
    case ImageLookup::kMissing:
      return kTrustNoSignature;
    case ImageLookup::kNotThisFormat:
      break;
  }
  return kTrustSubjectFormUnknown;
}

TrustStatus VerifyEmbeddedSignature(std::span<const std::uint8_t> image,
                                    const EmbeddedSignature& signature, X509_STORE* roots) {
  PKCS7* message = signature.message.get();
  X509* signer = FirstSignerCertificate(message);
  if (signer == nullptr)
    return kTrustNoSignature;

  if (signature.kind == EmbeddedSignature::Kind::kPe) {
    std::vector<std::uint8_t> digest;
    if (!ComputePeImageDigest(image, signature.layout, signature.digestAlgorithm, &digest) ||
        digest != signature.namedDigest ||
        !VerifySignerSignatures(message, signature.signedContent)) {
      ERR_clear_error();
      return kTrustBadDigest;
    }
  } else {
    ElfSignedDigest digest{};
    if (!ComputeElfSignedDigest(image, signature.sectionOffset, signature.sectionSize, &digest) ||
        !VerifySignerSignatures(message, digest)) {
      ERR_clear_error();
      return kTrustBadDigest;
    }
  }
  const TrustStatus status = VerifyChain(message, signer, roots);
  ERR_clear_error();
  return status;
}

X509* FirstSignerCertificate(PKCS7* message) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(message);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) <= 0)
    return nullptr;
  const PKCS7_ISSUER_AND_SERIAL* id = sk_PKCS7_SIGNER_INFO_value(signers, 0)->issuer_and_serial;
  STACK_OF(X509)* certificates = message->d.sign->cert;
  if (id == nullptr || certificates == nullptr)
    return nullptr;
  return X509_find_by_issuer_and_serial(certificates, id->issuer, id->serial);
}

}  // namespace vovu::platform::host
