// The restore run ("/K"): puts the installed edition's shortcuts, uninstall
// entry and autostart back instead of removing anything.
#pragma once

#include <string>

#include "engine/ProductRegistry.h"

// The product's App Paths key (HKLM, 32-bit view): "path", "ProductName".
extern const wchar_t kProductAppPathKey[];

// The texts the restored uninstall entry carries, per edition.
extern const wchar_t kKelEditionDisplayName[];     // "Kel壁纸"
extern const wchar_t kKelEditionPublisher[];       // "Kel互联网安全中心"
extern const wchar_t kLumoraEditionDisplayName[];  // "Lumora"
extern const wchar_t kLumoraEditionPublisher[];    // "Lumora"
extern const wchar_t kProductAboutPage[];          // the product's web address

enum class ProductEdition { Kel, Lumora };

class CProductRestore {
public:
    // Reads the edition ("ProductName" equals "lumoradesk", ignoring case:
    // Lumora; anything else, missing or unreadable: Kel壁纸).
    explicit CProductRestore(const std::wstring& installDir);
    CProductRestore(const CProductRestore&) = delete;
    CProductRestore& operator=(const CProductRestore&) = delete;

    // Nothing when the installation directory is empty or missing. Otherwise
    // removes the old desktop links and program-menu folders (common and the
    // user's), creates the edition's links and, when all of them were made,
    // writes its uninstall entry.
    void RestoreProductEntries();

    // Switches the product's autostart on: "open"=1 in "config.set" and the
    // logon task (or Run value) for "quorsrv.exe" with a 60-second delay.
    bool EnableAutorun();

    ProductEdition Edition() const { return edition_; }
    // The entry this edition writes for the installation directory.
    UninstallEntry MakeUninstallEntry() const;

private:
    bool CreateKelEditionShortcuts();
    bool CreateLumoraEditionShortcuts();

    std::wstring installDir_;
    ProductEdition edition_;
};

// Start-up's restore step: construct, RestoreProductEntries, EnableAutorun, destroy.
void RunRestore(const std::wstring& installDir);
