// A thin read layer over the Windows XML DOM (MSXML through COM): open a file,
// find elements by a slash-separated path of tag names, and read attributes as
// text or integers with defaults. Used on the start-up thread only; the caller
// has initialised COM.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "app/base/WinHandle.h"

class CXMLArchiveItemList;

// One element of a document. The empty item (no element) answers every query
// with "not found".
class CXMLArchiveItem {
public:
    CXMLArchiveItem() = default;
    CXMLArchiveItem(win::ComPtr<IXMLDOMDocument> document, win::ComPtr<IXMLDOMElement> element);
    virtual ~CXMLArchiveItem() = default;
    CXMLArchiveItem(const CXMLArchiveItem&) = default;
    CXMLArchiveItem& operator=(const CXMLArchiveItem&) = default;

    bool IsEmpty() const { return !element_; }
    IXMLDOMElement* Element() const { return element_.get(); }

    // Every element of that tag name below this one (any depth, document order).
    CXMLArchiveItemList ChildNodes(const std::wstring& tagName) const;

    // The attribute's text when present and a string (also when empty): true.
    // Otherwise `value` becomes the default (empty for null) and the result is
    // false. An empty attribute name changes nothing and gives false.
    bool GetAttrText(const std::wstring& name, std::wstring& value, const wchar_t* defaultValue) const;
    // A present attribute is read with ParseAttrInt: true. A missing one leaves
    // the default in `value`: false. An empty name changes nothing: false.
    bool GetAttrInt(const std::wstring& name, int& value, int defaultValue) const;

    // The process-wide empty item.
    static const CXMLArchiveItem& Empty();

private:
    win::ComPtr<IXMLDOMDocument> document_;
    win::ComPtr<IXMLDOMElement> element_;
};

// An ordered list of elements found by a search.
class CXMLArchiveItemList {
public:
    CXMLArchiveItemList() = default;
    CXMLArchiveItemList(win::ComPtr<IXMLDOMDocument> document, win::ComPtr<IXMLDOMNodeList> nodes);
    virtual ~CXMLArchiveItemList() = default;
    CXMLArchiveItemList(const CXMLArchiveItemList&) = default;
    CXMLArchiveItemList& operator=(const CXMLArchiveItemList&) = default;

    long Count() const { return count_; }
    // The element at `index`; the empty item outside 0..Count()-1 or when the
    // node there is not an element.
    CXMLArchiveItem Item(long index) const;

    // The process-wide empty list.
    static const CXMLArchiveItemList& Empty();

private:
    win::ComPtr<IXMLDOMDocument> document_;
    win::ComPtr<IXMLDOMNodeList> nodes_;
    long count_ = 0;
};

class CXMLArchive {
public:
    static constexpr wchar_t kDefaultDeclaration[] = L"version='1.0' encoding='utf-16'";
    // Longest path accepted by the searches.
    static constexpr size_t kMaxPathChars = 2047;

    CXMLArchive() = default;
    virtual ~CXMLArchive() = default;
    CXMLArchive(const CXMLArchive&) = delete;
    CXMLArchive& operator=(const CXMLArchive&) = delete;

    // Replaces any previous document. Load mode (create false) reads the file
    // synchronously; a missing or unreadable file gives E_FAIL. Create mode
    // starts a new document holding only the xml declaration. On failure the
    // archive holds no document.
    HRESULT Open(const std::wstring& path, bool create, const wchar_t* declaration);
    bool IsOpen() const { return static_cast<bool>(document_); }
    IXMLDOMDocument* Document() const { return document_.get(); }

    // Paths are tag names separated by "/" or "\" (not XPath): the first
    // element named C1 in the document, then every element named C2 below it,
    // then for each further name every element of that name below the first
    // element found so far. Empty or longer than kMaxPathChars: empty list.
    CXMLArchiveItemList SelectNodes(const std::wstring& path) const;
    // The first element of SelectNodes, or the empty item.
    CXMLArchiveItem SelectSingleNode(const std::wstring& path) const;

private:
    win::ComPtr<IXMLDOMDocument> document_;
    std::wstring path_;
    std::wstring declaration_;
    bool create_ = false;
};

// Integer attribute text: leading blanks and tabs are skipped; an empty rest is
// 0; a rest of 3 to 10 characters starting with "0x"/"0X" is read as the hex
// digits that follow (up to the first other character); anything else is read
// as a signed decimal the way _wtoi does.
int ParseAttrInt(const wchar_t* text);
