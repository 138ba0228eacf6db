// A private session's verifier, derived with the platform's own cryptography.
#include <windows.h>
// After windows.h.
#include <bcrypt.h>

#include <cstring>
#include <string>

#include "session/session.h"

namespace ozlan {

bool DerivePbkdf2Sha256(const void* password, size_t password_size, const void* salt,
                        size_t salt_size, uint32_t iterations, uint8_t* out, size_t out_size) {
    BCRYPT_ALG_HANDLE hmac = nullptr;
    if (BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                    BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0) {
        return false;
    }
    // The function takes its buffers as writable; it does not write them.
    std::string p(static_cast<const char*>(password), password_size);
    std::string s(static_cast<const char*>(salt), salt_size);
    LONG status = BCryptDeriveKeyPBKDF2(hmac, reinterpret_cast<PUCHAR>(p.data()), ULONG(p.size()),
                                        reinterpret_cast<PUCHAR>(s.data()), ULONG(s.size()),
                                        iterations, out, ULONG(out_size), 0);
    SecureZeroMemory(p.data(), p.size());
    BCryptCloseAlgorithmProvider(hmac, 0);
    return status == 0;
}

bool DeriveSessionVerifier(const char* password, const char* session_name,
                           uint8_t (&verifier)[kVerifierSize]) {
    static const char kSalt[] = "OZLAN session verifier";  // and its terminating zero
    std::string salt(kSalt, sizeof kSalt);
    salt += session_name;
    return DerivePbkdf2Sha256(password, std::strlen(password), salt.data(), salt.size(),
                              kVerifierIterations, verifier, kVerifierSize);
}

}  // namespace ozlan
