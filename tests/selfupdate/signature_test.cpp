#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "scratch_folder.hpp"
#include "signing.hpp"
#include "update_signature.hpp"

namespace {

namespace sig = zentravo::signature;

void write(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream{file, std::ios::binary} << bytes;
}

TEST(UpdateSignature, CompiledInKeyIsTheDemoKey) {
    const auto demo = signing::demoKey();
    EXPECT_EQ(sig::launcherUpdateKey(), sig::publicKeyFromHex(signing::hex(demo.publicKey)));
}

TEST(UpdateSignature, AcceptsOnlyTheSignedBytesAtTheAnnouncedLength) {
    fixture::ScratchFolder dir;
    const auto archive = dir / "update.tar.gz";
    std::string bytes(200000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 % 256);
    }
    write(archive, bytes);
    const auto demo = signing::demoKey();
    const std::string good = signing::signFile(archive, demo);
    const auto key = sig::launcherUpdateKey();
    const auto length = static_cast<std::int64_t>(bytes.size());

    EXPECT_TRUE(sig::verifyFile(archive, length, good, key));
    EXPECT_FALSE(sig::verifyFile(archive, length + 1, good, key));
    EXPECT_FALSE(sig::verifyFile(archive, length - 1, good, key));
    // Signed by a key the launcher does not know.
    EXPECT_FALSE(
        sig::verifyFile(archive, length, signing::signFile(archive, signing::generate()), key));
    // Not a signature at all.
    for (const std::string& text : {std::string{}, std::string{"c2ln"}, good.substr(1),
                                    good + "AA==", std::string(good.size(), '!')}) {
        EXPECT_FALSE(sig::verifyFile(archive, length, text, key)) << text;
    }
    // One byte changed after signing.
    bytes[123456] ^= 1;
    write(archive, bytes);
    EXPECT_FALSE(sig::verifyFile(archive, length, good, key));
}

TEST(UpdateSignature, RefusesMalformedKeysAndMissingFiles) {
    for (const char* text :
         {"", "00", "zz6c07f6f1bf625479b625e2b1392a3d3e6cde0bb78a6c1d4198426a0adf45a6",
          "60ec07f6f1bf625479b625e2b1392a3d3e6cde0bb78a6c1d4198426a0adf45a6ff"}) {
        EXPECT_THROW((void)sig::publicKeyFromHex(text), std::invalid_argument) << text;
    }
    fixture::ScratchFolder dir;
    const std::string zeroSignature = std::string(86, 'A') + "==";
    EXPECT_THROW((void)sig::verifyFile(dir / "missing", 1, zeroSignature, sig::launcherUpdateKey()),
                 std::runtime_error);
}

}  // namespace
