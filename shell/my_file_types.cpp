#include "shell/my_file_types.h"

#include <memory>

namespace MyFileTypes {
namespace {

struct Row {
  std::unique_ptr<framework::FileType>* property;
  const char* name;
  const char* extensions;
  const char* macType;
};

std::unique_ptr<framework::FileType> pBinConfig, pText, pS19, pGEN, psx, pANZ, pTXB, pRXB;

// In creation order, which is also the order of release.
const Row kTypes[] = {
    {&pBinConfig, "BinConfig", "bin", "BINC"},
    {&pText, "text/plain",
     ".asc;.ascii;.bas;.c;.class;.cp;.cpp;.h;.hp;.hpp;.i3;.java;.m2;.m3;.mak;.text;.txt", "TEXT"},
    {&pS19, "S19", ".s19", "S19T"},
    {&pGEN, "GEN", ".gen", "VGEN"},
    {&psx, "sx", ".sx", "SXT"},
    {&pANZ, "ANZ", ".anz", "VANZ"},
    {&pTXB, "TXB", ".txb", "TXB"},
    {&pRXB, "RXB", ".rxb", "RXB"},
};

}  // namespace

void Initialize_() {
  for (const Row& row : kTypes) {
    *row.property = std::make_unique<framework::FileType>();
    framework::FileType& t = **row.property;
    t.SetName(row.name);
    t.SetExtensions(row.extensions);
    t.SetMacType(row.macType);
    t.SetMacCreator("");
    static_cast<void>(static_cast<std::string>(t));  // registers it
  }
}

void Release() {
  for (const Row& row : kTypes) row.property->reset();
}

framework::FileType* BinConfig() { return pBinConfig.get(); }
framework::FileType* GEN() { return pGEN.get(); }
framework::FileType* ANZ() { return pANZ.get(); }

}  // namespace MyFileTypes
