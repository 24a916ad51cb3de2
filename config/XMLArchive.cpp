#include "config/XMLArchive.h"

#include <ole2.h>
#include <oleauto.h>

#include <cwchar>
#include <cstdlib>
#include <vector>

namespace {

// MSXML's version-independent DOM document and the two interfaces used.
constexpr CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kIidDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kIidDomElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Owns one COM string.
class ComString {
public:
    explicit ComString(const std::wstring& text)
        : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~ComString() { ::SysFreeString(value_); }
    ComString(const ComString&) = delete;
    ComString& operator=(const ComString&) = delete;
    BSTR get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

private:
    BSTR value_;
};

// Owns one VARIANT.
class Variant {
public:
    Variant() { ::VariantInit(&value_); }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* put() {
        ::VariantClear(&value_);
        return &value_;
    }
    const VARIANT& get() const { return value_; }
    // The text of a string variant; false for any other type.
    bool Text(std::wstring& text) const {
        if (V_VT(&value_) != VT_BSTR) return false;
        BSTR value = V_BSTR(&value_);
        text.assign(value ? value : L"", value ? ::SysStringLen(value) : 0);
        return true;
    }

private:
    VARIANT value_;
};

bool IsExistingFile(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> SplitPath(const std::wstring& path) {
    std::vector<std::wstring> names;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'/' || path[i] == L'\\') {
            names.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return names;
}

template <typename Node>
win::ComPtr<IXMLDOMNodeList> ElementsByTagName(Node* node, const std::wstring& tagName) {
    win::ComPtr<IXMLDOMNodeList> list;
    ComString name(tagName);
    if (!node || !name) return list;
    if (FAILED(node->getElementsByTagName(name.get(), list.put()))) list.reset();
    return list;
}

win::ComPtr<IXMLDOMElement> FirstElement(IXMLDOMNodeList* list) {
    win::ComPtr<IXMLDOMElement> element;
    if (!list) return element;
    win::ComPtr<IXMLDOMNode> node;
    if (list->get_item(0, node.put()) != S_OK || !node) return element;
    if (FAILED(node->QueryInterface(kIidDomElement, element.put_void()))) element.reset();
    return element;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

unsigned HexValue(wchar_t c) {
    if (c <= L'9') return static_cast<unsigned>(c - L'0');
    if (c <= L'F') return static_cast<unsigned>(c - L'A' + 10);
    return static_cast<unsigned>(c - L'a' + 10);
}

}  // namespace

int ParseAttrInt(const wchar_t* text) {
    if (!text) return 0;
    while (*text == L' ' || *text == L'\t') ++text;
    size_t length = std::wcslen(text);
    if (length == 0) return 0;
    if (length >= 3 && length <= 10 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        // At most eight digits follow, so the value fits 32 bits.
        unsigned value = 0;
        for (const wchar_t* digit = text + 2; IsHexDigit(*digit); ++digit) value = value * 16 + HexValue(*digit);
        return static_cast<int>(value);
    }
    return _wtoi(text);
}

// ---------------------------------------------------------------------------

CXMLArchiveItem::CXMLArchiveItem(win::ComPtr<IXMLDOMDocument> document, win::ComPtr<IXMLDOMElement> element)
    : document_(std::move(document)), element_(std::move(element)) {}

const CXMLArchiveItem& CXMLArchiveItem::Empty() {
    static const CXMLArchiveItem empty;
    return empty;
}

CXMLArchiveItemList CXMLArchiveItem::ChildNodes(const std::wstring& tagName) const {
    if (!element_) return CXMLArchiveItemList::Empty();
    win::ComPtr<IXMLDOMNodeList> list = ElementsByTagName(element_.get(), tagName);
    if (!list) return CXMLArchiveItemList::Empty();
    return CXMLArchiveItemList(document_, list);
}

bool CXMLArchiveItem::GetAttrText(const std::wstring& name, std::wstring& value, const wchar_t* defaultValue) const {
    if (name.empty()) return false;
    if (element_) {
        ComString attribute(name);
        Variant result;
        if (attribute && SUCCEEDED(element_->getAttribute(attribute.get(), result.put())) && result.Text(value))
            return true;
    }
    value = defaultValue ? defaultValue : L"";
    return false;
}

bool CXMLArchiveItem::GetAttrInt(const std::wstring& name, int& value, int defaultValue) const {
    if (name.empty()) return false;
    value = defaultValue;
    if (!element_) return false;
    ComString attribute(name);
    Variant result;
    std::wstring text;
    if (!attribute || FAILED(element_->getAttribute(attribute.get(), result.put())) || !result.Text(text))
        return false;
    value = ParseAttrInt(text.c_str());
    return true;
}

// ---------------------------------------------------------------------------

CXMLArchiveItemList::CXMLArchiveItemList(win::ComPtr<IXMLDOMDocument> document, win::ComPtr<IXMLDOMNodeList> nodes)
    : document_(std::move(document)), nodes_(std::move(nodes)) {
    long length = 0;
    if (nodes_ && SUCCEEDED(nodes_->get_length(&length)) && length > 0) count_ = length;
}

const CXMLArchiveItemList& CXMLArchiveItemList::Empty() {
    static const CXMLArchiveItemList empty;
    return empty;
}

CXMLArchiveItem CXMLArchiveItemList::Item(long index) const {
    if (!nodes_ || index < 0 || index >= count_) return CXMLArchiveItem::Empty();
    win::ComPtr<IXMLDOMNode> node;
    if (nodes_->get_item(index, node.put()) != S_OK || !node) return CXMLArchiveItem::Empty();
    win::ComPtr<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(kIidDomElement, element.put_void())) || !element)
        return CXMLArchiveItem::Empty();
    return CXMLArchiveItem(document_, element);
}

// ---------------------------------------------------------------------------

HRESULT CXMLArchive::Open(const std::wstring& path, bool create, const wchar_t* declaration) {
    document_.reset();

    win::ComPtr<IUnknown> unknown;
    HRESULT hr = ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void());
    if (FAILED(hr)) return hr;
    if (!unknown) return E_POINTER;
    hr = ::OleRun(unknown.get());
    if (FAILED(hr)) return hr;
    win::ComPtr<IXMLDOMDocument> document;
    hr = unknown->QueryInterface(kIidDomDocument, document.put_void());
    if (FAILED(hr)) return hr;
    if (!document) return E_NOINTERFACE;

    path_ = path;
    create_ = create;
    declaration_ = declaration ? declaration : L"";
    document->put_preserveWhiteSpace(VARIANT_TRUE);
    document->put_async(VARIANT_FALSE);
    // The files are plain data: no DTD validation and no external entities
    // or schemas fetched while parsing.
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);

    if (create_) {
        ComString target(L"xml");
        ComString data(declaration_.empty() ? std::wstring(kDefaultDeclaration) : declaration_);
        win::ComPtr<IXMLDOMProcessingInstruction> instruction;
        win::ComPtr<IXMLDOMNode> appended;
        hr = (target && data) ? document->createProcessingInstruction(target.get(), data.get(), instruction.put())
                              : E_OUTOFMEMORY;
        if (SUCCEEDED(hr) && instruction) hr = document->appendChild(instruction.get(), appended.put());
        else if (SUCCEEDED(hr)) hr = E_FAIL;
    } else if (!IsExistingFile(path_)) {
        hr = E_FAIL;
    } else {
        ComString source(path_);
        if (!source) return E_OUTOFMEMORY;
        VARIANT location;
        ::VariantInit(&location);
        V_VT(&location) = VT_BSTR;
        V_BSTR(&location) = source.get();  // borrowed: not cleared here
        VARIANT_BOOL loaded = VARIANT_FALSE;
        hr = document->load(location, &loaded);
        if (FAILED(hr) || loaded != VARIANT_TRUE) hr = E_FAIL;
    }
    if (FAILED(hr)) return hr;
    document_ = document;
    return S_OK;
}

CXMLArchiveItemList CXMLArchive::SelectNodes(const std::wstring& path) const {
    if (!document_ || path.empty() || path.size() > kMaxPathChars) return CXMLArchiveItemList::Empty();
    std::vector<std::wstring> names = SplitPath(path);

    win::ComPtr<IXMLDOMNodeList> list = ElementsByTagName(document_.get(), names[0]);
    for (size_t i = 1; i < names.size(); ++i) {
        win::ComPtr<IXMLDOMElement> first = FirstElement(list.get());
        if (!first) return CXMLArchiveItemList::Empty();
        list = ElementsByTagName(first.get(), names[i]);
    }
    if (!list) return CXMLArchiveItemList::Empty();
    return CXMLArchiveItemList(document_, list);
}

CXMLArchiveItem CXMLArchive::SelectSingleNode(const std::wstring& path) const {
    return SelectNodes(path).Item(0);
}
