// Zelvane.Trumik.XmlSigner 1.4: the binary interface for early-binding hosts.
// Every interface is dual: IUnknown (slots 0-2), IDispatch (3-6), then the
// methods below in slot order from slot 7. Every method returns an HRESULT;
// its last parameter is the [out, retval] value. Hosts free the strings,
// variants and arrays they receive with SysFreeString / VariantClear.
#pragma once

#include <oleauto.h>

extern "C" {
extern const GUID LIBID_ZelvaneTrumikXmlSigner; // {E5C22796-7B83-4CD3-88C7-E4B63215E540}, version 1.4

extern const CLSID CLSID_CCryptEncMessage; // {5B0F2D1F-C363-4B0B-A2A6-1BDE915B7E59}
extern const CLSID CLSID_CMSXmlSigner;     // {A4B9FF35-03A9-41C6-8881-3A59F572B446}
extern const CLSID CLSID_CMSXmlVerifier;   // {A07E2B70-AF5E-4BFA-8D45-C71B98BB6805}
extern const CLSID CLSID_CXmlSigner;       // {3C6084B9-D9AD-4B67-8D80-5B7969A86364}

extern const IID IID_ICryptEncMessage; // {0FB9D19C-5E40-4503-A381-8B0CE579F233}
extern const IID IID_IMSXmlSigner;     // {A5CA66FE-A165-4683-8BA7-148730152FED}
extern const IID IID_IMSXmlVerifier;   // {44CDB0A0-3E52-4B66-9640-F3D111087350}
extern const IID IID_IXmlSigner;       // {63ECEA47-D5A2-4470-B0E6-B869A4D33B21}
}

// ProgID "ZelvaneTrumikXmlSigner.CryptEncMessage.1"
struct ICryptEncMessage : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE CryptMessageByte(BSTR p_StoreName, BSTR p_Hash, LONG in_message_len,
                                                       VARIANT* ByteArray, VARIANT* out_message) = 0; // 30
    virtual HRESULT STDMETHODCALLTYPE DecryptMessageByte(BSTR p_StoreName, BSTR p_Hash, BSTR password,
                                                         LONG in_message_len, VARIANT* ByteArray,
                                                         VARIANT* out_message) = 0; // 31
    virtual HRESULT STDMETHODCALLTYPE CryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR ByteArray,
                                                   BSTR* out_message) = 0; // 32
    virtual HRESULT STDMETHODCALLTYPE DecryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR p_ContainerName,
                                                     BSTR password, BSTR ByteArray, BSTR* out_message) = 0; // 33
    virtual HRESULT STDMETHODCALLTYPE GetContainerName(BSTR p_StoreName, BSTR p_Hash,
                                                       BSTR* container_name) = 0; // 34
    virtual HRESULT STDMETHODCALLTYPE GetProviderInfo(BSTR* retValue) = 0;         // 35
    virtual HRESULT STDMETHODCALLTYPE CryptGetLastError(BSTR* ErrorMessage) = 0;   // 40
    virtual HRESULT STDMETHODCALLTYPE CryptGetLastErrorCode(INT* ErrorCode) = 0;   // 41
    virtual HRESULT STDMETHODCALLTYPE CryptGetLastErrorStack(BSTR* ErrorStack) = 0; // 42
};

// ProgID "ZelvaneTrumikXmlSigner.MSXmlSigner.1"
struct IMSXmlSigner : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE SignWithCertStore(BSTR xml, BSTR certStoreName, BSTR certHashString,
                                                        BSTR* retXml) = 0;                  // 8
    virtual HRESULT STDMETHODCALLTYPE SignGetLastError(BSTR* ErrorMessage) = 0;             // 9
    virtual HRESULT STDMETHODCALLTYPE SignGetLastErrorCode(INT* ErrorCode) = 0;             // 10
    virtual HRESULT STDMETHODCALLTYPE SignGetLastErrorStack(BSTR* ErrorStack) = 0;          // 11
    virtual HRESULT STDMETHODCALLTYPE SignWithCertStorePass(BSTR xml, BSTR certStoreName, BSTR certHashString,
                                                            BSTR password, BSTR* retXml) = 0; // 12
};

// ProgID "ZelvaneTrumikXmlSigner.MSXmlVerifier.1"
struct IMSXmlVerifier : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE VerifyUsingCertFile(BSTR signedXml, BSTR certFilePath,
                                                          VARIANT_BOOL* result) = 0; // 21
    virtual HRESULT STDMETHODCALLTYPE VerifyUsingCertFileWoCert(BSTR signedXml, BSTR certFilePath,
                                                                VARIANT_BOOL* result) = 0; // 30
    virtual HRESULT STDMETHODCALLTYPE VerifyUsingCertFileAndDate(BSTR signedXml, BSTR certFilePath, DATE CheckDate,
                                                                 VARIANT_BOOL* result) = 0; // 29
    virtual HRESULT STDMETHODCALLTYPE VerifyCertTimeValidityUsingCertFile(BSTR certFilePath,
                                                                          VARIANT_BOOL* result) = 0; // 22
    virtual HRESULT STDMETHODCALLTYPE VerifyCertIsGOSTUsingCertFile(BSTR certFilePath,
                                                                    VARIANT_BOOL* result) = 0; // 23
    virtual HRESULT STDMETHODCALLTYPE VerifyCertUsageUsingCertFile(BSTR certFilePath,
                                                                   VARIANT_BOOL* result) = 0; // 24
    virtual HRESULT STDMETHODCALLTYPE SignGetLastError(BSTR* ErrorMessage) = 0;              // 25
    virtual HRESULT STDMETHODCALLTYPE SignGetLastErrorCode(INT* ErrorCode) = 0;              // 26
    virtual HRESULT STDMETHODCALLTYPE SignGetLastErrorStack(BSTR* ErrorStack) = 0;           // 27
    virtual HRESULT STDMETHODCALLTYPE VerifyCertTimeValidityUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                                                 VARIANT_BOOL* result) = 0; // 28
};

// ProgID "ZelvaneTrumik.XmlSigner.1"
struct IXmlSigner : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE SignWithKey(BSTR xml, BSTR keyFile, BSTR* retXml) = 0; // 6
    virtual HRESULT STDMETHODCALLTYPE SignFGetLastError(BSTR* ErrorMessage) = 0;          // 7
};
