#include "console.h"

int main(int argc, char** argv) {
    return PosterndMain(argc, argv);
}

void WriteText(std::FILE* pStream, std::string_view strText) {
    std::fwrite(strText.data(), 1, strText.size(), pStream);
    std::fflush(pStream);
}
