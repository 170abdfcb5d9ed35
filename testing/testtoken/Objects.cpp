// Attribute rules of the test token: one table says how long each known
// attribute's value is; the class functions below add defaults and refuse
// what a class cannot hold.
#include "Objects.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace trumik::testtoken {

namespace {

enum class Form { Bool, Ulong, Bytes };

struct AttributeRule {
    CK_ATTRIBUTE_TYPE type;
    Form form;
};

constexpr AttributeRule kAttributes[] = {
    {CKA_CLASS, Form::Ulong},
    {CKA_TOKEN, Form::Bool},
    {CKA_PRIVATE, Form::Bool},
    {CKA_LABEL, Form::Bytes},
    {CKA_APPLICATION, Form::Bytes},
    {CKA_VALUE, Form::Bytes},
    {CKA_OBJECT_ID, Form::Bytes},
    {CKA_CERTIFICATE_TYPE, Form::Ulong},
    {CKA_ISSUER, Form::Bytes},
    {CKA_SERIAL_NUMBER, Form::Bytes},
    {CKA_TRUSTED, Form::Bool},
    {CKA_CERTIFICATE_CATEGORY, Form::Ulong},
    {CKA_CHECK_VALUE, Form::Bytes},
    {CKA_KEY_TYPE, Form::Ulong},
    {CKA_SUBJECT, Form::Bytes},
    {CKA_ID, Form::Bytes},
    {CKA_SENSITIVE, Form::Bool},
    {CKA_ENCRYPT, Form::Bool},
    {CKA_DECRYPT, Form::Bool},
    {CKA_WRAP, Form::Bool},
    {CKA_UNWRAP, Form::Bool},
    {CKA_SIGN, Form::Bool},
    {CKA_SIGN_RECOVER, Form::Bool},
    {CKA_VERIFY, Form::Bool},
    {CKA_VERIFY_RECOVER, Form::Bool},
    {CKA_DERIVE, Form::Bool},
    {CKA_START_DATE, Form::Bytes},
    {CKA_END_DATE, Form::Bytes},
    {CKA_VALUE_LEN, Form::Ulong},
    {CKA_EXTRACTABLE, Form::Bool},
    {CKA_LOCAL, Form::Bool},
    {CKA_NEVER_EXTRACTABLE, Form::Bool},
    {CKA_ALWAYS_SENSITIVE, Form::Bool},
    {CKA_KEY_GEN_MECHANISM, Form::Ulong},
    {CKA_MODIFIABLE, Form::Bool},
    {CKA_COPYABLE, Form::Bool},
    {CKA_DESTROYABLE, Form::Bool},
    {CKA_WRAP_WITH_TRUSTED, Form::Bool},
    {CKA_ALWAYS_AUTHENTICATE, Form::Bool},
    {CKA_PUBLIC_KEY_INFO, Form::Bytes},
    {CKA_GOSTR3410_PARAMS, Form::Bytes},
    {CKA_GOSTR3411_PARAMS, Form::Bytes},
    {CKA_GOST28147_PARAMS, Form::Bytes},
};

// What only the token sets.
constexpr CK_ATTRIBUTE_TYPE kTokenSet[] = {CKA_LOCAL, CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE,
                                           CKA_KEY_GEN_MECHANISM};

// Parameter sets of 256-bit keys, then of 512-bit keys.
constexpr const char* kCurves256[] = {
    "1.2.643.2.2.35.1",    "1.2.643.2.2.35.2",    "1.2.643.2.2.35.3",
    "1.2.643.2.2.36.0",    "1.2.643.2.2.36.1",    "1.2.643.7.1.2.1.1.1",
    "1.2.643.7.1.2.1.1.2", "1.2.643.7.1.2.1.1.3", "1.2.643.7.1.2.1.1.4",
};
constexpr const char* kCurves512[] = {"1.2.643.7.1.2.1.2.1", "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.2.1.2.3"};
constexpr const char* kDigest94 = "1.2.643.2.2.30.1";
constexpr const char* kDigest256 = "1.2.643.7.1.1.2.2";
constexpr const char* kDigest512 = "1.2.643.7.1.1.2.3";
constexpr const char* kDefaultCurve256 = "1.2.643.2.2.35.1";
constexpr const char* kDefaultCurve512 = "1.2.643.7.1.2.1.2.1";

const AttributeRule* RuleOf(CK_ATTRIBUTE_TYPE type)
{
    for (const AttributeRule& rule : kAttributes)
        if (rule.type == type)
            return &rule;
    return nullptr;
}

bool TokenSets(CK_ATTRIBUTE_TYPE type)
{
    return std::find(std::begin(kTokenSet), std::end(kTokenSet), type) != std::end(kTokenSet);
}

void Default(Attributes& attributes, CK_ATTRIBUTE_TYPE type, Bytes value)
{
    attributes.emplace(type, std::move(value));
}

void CommonDefaults(Attributes& a, bool privateByDefault)
{
    Default(a, CKA_TOKEN, BoolValue(false));
    Default(a, CKA_PRIVATE, BoolValue(privateByDefault));
    Default(a, CKA_MODIFIABLE, BoolValue(true));
    Default(a, CKA_COPYABLE, BoolValue(false));
    Default(a, CKA_DESTROYABLE, BoolValue(true));
    Default(a, CKA_LABEL, {});
}

void KeyDefaults(Attributes& a, bool privateByDefault, bool local, CK_MECHANISM_TYPE mechanism)
{
    CommonDefaults(a, privateByDefault);
    Default(a, CKA_ID, {});
    Default(a, CKA_START_DATE, {});
    Default(a, CKA_END_DATE, {});
    Default(a, CKA_DERIVE, BoolValue(privateByDefault));
    a[CKA_LOCAL] = BoolValue(local);
    a[CKA_KEY_GEN_MECHANISM] = UlongValue(mechanism);
}

// Private and secret keys: sensitive and not extractable unless asked.
void SecretDefaults(Attributes& a)
{
    Default(a, CKA_SENSITIVE, BoolValue(true));
    Default(a, CKA_EXTRACTABLE, BoolValue(false));
    Default(a, CKA_ALWAYS_AUTHENTICATE, BoolValue(false));
    Default(a, CKA_WRAP_WITH_TRUSTED, BoolValue(false));
    Default(a, CKA_DECRYPT, BoolValue(false));
    Default(a, CKA_UNWRAP, BoolValue(false));
    a[CKA_ALWAYS_SENSITIVE] = BoolValue(GetBool(a, CKA_SENSITIVE));
    a[CKA_NEVER_EXTRACTABLE] = BoolValue(!GetBool(a, CKA_EXTRACTABLE));
}

CK_RV RefuseTokenSet(const Attributes& a)
{
    for (const auto& [type, value] : a)
        if (TokenSets(type))
            return CKR_ATTRIBUTE_READ_ONLY;
    return CKR_OK;
}

// A class given in a template must be the one the operation makes.
CK_RV ExpectUlong(const Attributes& a, CK_ATTRIBUTE_TYPE type, CK_ULONG expected)
{
    auto value = GetUlong(a, type);
    return !value || *value == expected ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

bool Listed(const std::string& oid, const char* const* begin, const char* const* end)
{
    return std::any_of(begin, end, [&](const char* known) { return oid == known; });
}

CK_RV CompleteGostKey(Attributes& a, CK_OBJECT_CLASS cls)
{
    auto keyType = GetUlong(a, CKA_KEY_TYPE);
    if (!keyType || a.count(CKA_VALUE) == 0 || a.count(CKA_GOSTR3410_PARAMS) == 0)
        return CKR_TEMPLATE_INCOMPLETE;
    if (*keyType != CKK_GOSTR3410 && *keyType != CKK_GOSTR3410_512)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    auto curve = CurveOf(a);
    if (!curve)
        return CKR_DOMAIN_PARAMS_INVALID;
    const Bytes& value = a[CKA_VALUE];
    if (cls == CKO_PUBLIC_KEY) {
        if (!PublicValueFits(*curve, value))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        KeyDefaults(a, false, false, CK_UNAVAILABLE_INFORMATION);
        Default(a, CKA_VERIFY, BoolValue(true));
        Default(a, CKA_ENCRYPT, BoolValue(false));
        Default(a, CKA_WRAP, BoolValue(false));
        Default(a, CKA_TRUSTED, BoolValue(false));
    } else {
        if (value.size() != CoordinateSize(curve->kind) || !PublicFromPrivate(*curve, value))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        KeyDefaults(a, true, false, CK_UNAVAILABLE_INFORMATION);
        Default(a, CKA_SIGN, BoolValue(true));
        SecretDefaults(a);
    }
    return CKR_OK;
}

CK_RV CompleteCertificate(Attributes& a)
{
    auto type = GetUlong(a, CKA_CERTIFICATE_TYPE);
    if (!type || a.count(CKA_VALUE) == 0)
        return CKR_TEMPLATE_INCOMPLETE;
    if (*type != CKC_X_509)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    auto names = ReadCertificateNames(a[CKA_VALUE]);
    if (!names)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    CommonDefaults(a, false);
    Default(a, CKA_SUBJECT, names->subject);
    Default(a, CKA_ISSUER, names->issuer);
    Default(a, CKA_SERIAL_NUMBER, names->serialNumber);
    Default(a, CKA_ID, {});
    Default(a, CKA_TRUSTED, BoolValue(false));
    Default(a, CKA_CERTIFICATE_CATEGORY, UlongValue(0));
    Default(a, CKA_CHECK_VALUE, {});
    Default(a, CKA_START_DATE, {});
    Default(a, CKA_END_DATE, {});
    return CKR_OK;
}

} // namespace

CK_RV ReadTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, Attributes& out)
{
    out.clear();
    if (count > 0 && !attributes)
        return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        const AttributeRule* rule = RuleOf(attribute.type);
        if (!rule)
            return CKR_ATTRIBUTE_TYPE_INVALID;
        if (!attribute.pValue && attribute.ulValueLen > 0)
            return CKR_ARGUMENTS_BAD;
        if ((rule->form == Form::Bool && attribute.ulValueLen != sizeof(CK_BBOOL)) ||
            (rule->form == Form::Ulong && attribute.ulValueLen != sizeof(CK_ULONG)))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const auto* bytes = static_cast<const unsigned char*>(attribute.pValue);
        Bytes value(bytes, bytes + attribute.ulValueLen);
        if (rule->form == Form::Bool)
            value[0] = value[0] ? CK_TRUE : CK_FALSE;
        if (!out.emplace(attribute.type, std::move(value)).second)
            return CKR_TEMPLATE_INCONSISTENT;
    }
    return CKR_OK;
}

Bytes BoolValue(bool value)
{
    return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)};
}

Bytes UlongValue(CK_ULONG value)
{
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

bool GetBool(const Attributes& attributes, CK_ATTRIBUTE_TYPE type, bool fallback)
{
    auto it = attributes.find(type);
    return it == attributes.end() || it->second.size() != 1 ? fallback : it->second[0] != 0;
}

std::optional<CK_ULONG> GetUlong(const Attributes& attributes, CK_ATTRIBUTE_TYPE type)
{
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != sizeof(CK_ULONG))
        return std::nullopt;
    CK_ULONG value;
    std::memcpy(&value, it->second.data(), sizeof value);
    return value;
}

std::optional<Curve> CurveOf(const Attributes& attributes)
{
    auto keyType = GetUlong(attributes, CKA_KEY_TYPE);
    auto params = attributes.find(CKA_GOSTR3410_PARAMS);
    if (!keyType || params == attributes.end())
        return std::nullopt;
    auto curveOid = OidFromDer(params->second);
    if (!curveOid)
        return std::nullopt;
    std::optional<std::string> digestOid;
    if (auto digest = attributes.find(CKA_GOSTR3411_PARAMS);
        digest != attributes.end() && !digest->second.empty()) {
        digestOid = OidFromDer(digest->second);
        if (!digestOid)
            return std::nullopt;
    }
    if (*keyType == CKK_GOSTR3410_512) {
        if (!Listed(*curveOid, std::begin(kCurves512), std::end(kCurves512)) ||
            (digestOid && *digestOid != kDigest512))
            return std::nullopt;
        return Curve{KeyKind::R2012_512, *curveOid};
    }
    if (*keyType != CKK_GOSTR3410 || !Listed(*curveOid, std::begin(kCurves256), std::end(kCurves256)))
        return std::nullopt;
    if (!digestOid || *digestOid == kDigest256)
        return Curve{KeyKind::R2012_256, *curveOid};
    if (*digestOid == kDigest94)
        return Curve{KeyKind::R2001, *curveOid};
    return std::nullopt;
}

CK_RV CompleteNewObject(Attributes& a)
{
    auto cls = GetUlong(a, CKA_CLASS);
    if (!cls)
        return CKR_TEMPLATE_INCOMPLETE;
    if (CK_RV rv = RefuseTokenSet(a); rv != CKR_OK)
        return rv;
    switch (*cls) {
    case CKO_DATA:
        CommonDefaults(a, false);
        Default(a, CKA_APPLICATION, {});
        Default(a, CKA_OBJECT_ID, {});
        Default(a, CKA_VALUE, {});
        return CKR_OK;
    case CKO_CERTIFICATE:
        return CompleteCertificate(a);
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
        return CompleteGostKey(a, *cls);
    case CKO_SECRET_KEY: {
        auto keyType = GetUlong(a, CKA_KEY_TYPE);
        if (!keyType || a.count(CKA_VALUE) == 0)
            return CKR_TEMPLATE_INCOMPLETE;
        if (*keyType != CKK_GOST28147 && *keyType != CKK_GENERIC_SECRET)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (*keyType == CKK_GOST28147 && a[CKA_VALUE].size() != 32)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        a[CKA_VALUE_LEN] = UlongValue(a[CKA_VALUE].size());
        KeyDefaults(a, true, false, CK_UNAVAILABLE_INFORMATION);
        SecretDefaults(a);
        return CKR_OK;
    }
    default:
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
}

CK_RV CheckKeyPairTemplates(CK_MECHANISM_TYPE mechanism, Attributes& pub, Attributes& priv, Curve& curve)
{
    bool big = mechanism == CKM_GOSTR3410_512_KEY_PAIR_GEN;
    CK_KEY_TYPE keyType = big ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
    for (Attributes* a : {&pub, &priv}) {
        if (CK_RV rv = RefuseTokenSet(*a); rv != CKR_OK)
            return rv;
        if (a->count(CKA_VALUE))
            return CKR_ATTRIBUTE_READ_ONLY;
        if (ExpectUlong(*a, CKA_KEY_TYPE, keyType) != CKR_OK ||
            ExpectUlong(*a, CKA_CLASS, a == &pub ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY) != CKR_OK)
            return CKR_TEMPLATE_INCONSISTENT;
    }
    // The parameters may come in either template; given in both, they agree.
    for (CK_ATTRIBUTE_TYPE type : {CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS}) {
        auto p = pub.find(type), q = priv.find(type);
        if (p != pub.end() && q != priv.end() && p->second != q->second)
            return CKR_TEMPLATE_INCONSISTENT;
        if (p == pub.end() && q != priv.end())
            pub[type] = q->second;
    }
    if (!pub.count(CKA_GOSTR3410_PARAMS))
        pub[CKA_GOSTR3410_PARAMS] = OidToDer(big ? kDefaultCurve512 : kDefaultCurve256);
    if (!pub.count(CKA_GOSTR3411_PARAMS))
        pub[CKA_GOSTR3411_PARAMS] = OidToDer(big ? kDigest512 : kDigest256);
    pub[CKA_KEY_TYPE] = UlongValue(keyType);
    auto found = CurveOf(pub);
    if (!found || !CurveFits(*found))
        return CKR_DOMAIN_PARAMS_INVALID;
    curve = *found;
    for (CK_ATTRIBUTE_TYPE type : {CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS, CKA_KEY_TYPE})
        priv[type] = pub[type];
    pub[CKA_CLASS] = UlongValue(CKO_PUBLIC_KEY);
    priv[CKA_CLASS] = UlongValue(CKO_PRIVATE_KEY);
    return CKR_OK;
}

void CompleteKeyPair(CK_MECHANISM_TYPE mechanism, const KeyPair& pair, Attributes& pub, Attributes& priv)
{
    pub[CKA_VALUE] = pair.publicValue;
    priv[CKA_VALUE] = pair.privateValue;
    KeyDefaults(pub, false, true, mechanism);
    Default(pub, CKA_VERIFY, BoolValue(true));
    Default(pub, CKA_ENCRYPT, BoolValue(false));
    Default(pub, CKA_WRAP, BoolValue(false));
    Default(pub, CKA_TRUSTED, BoolValue(false));
    KeyDefaults(priv, true, true, mechanism);
    Default(priv, CKA_SIGN, BoolValue(true));
    SecretDefaults(priv);
    // The pair shares its identifier when only one template gives it.
    if (pub[CKA_ID].empty() && !priv[CKA_ID].empty())
        pub[CKA_ID] = priv[CKA_ID];
    else if (priv[CKA_ID].empty())
        priv[CKA_ID] = pub[CKA_ID];
}

CK_RV CompleteDerivedKey(Attributes& a, const Bytes& value)
{
    if (CK_RV rv = RefuseTokenSet(a); rv != CKR_OK)
        return rv;
    if (a.count(CKA_VALUE))
        return CKR_ATTRIBUTE_READ_ONLY;
    if (ExpectUlong(a, CKA_CLASS, CKO_SECRET_KEY) != CKR_OK ||
        ExpectUlong(a, CKA_KEY_TYPE, CKK_GOST28147) != CKR_OK)
        return CKR_TEMPLATE_INCONSISTENT;
    if (auto len = GetUlong(a, CKA_VALUE_LEN); len && *len != value.size())
        return CKR_TEMPLATE_INCONSISTENT;
    a[CKA_CLASS] = UlongValue(CKO_SECRET_KEY);
    a[CKA_KEY_TYPE] = UlongValue(CKK_GOST28147);
    a[CKA_VALUE] = value;
    a[CKA_VALUE_LEN] = UlongValue(value.size());
    KeyDefaults(a, true, false, CKM_GOSTR3410_2012_DERIVE);
    Default(a, CKA_ENCRYPT, BoolValue(false));
    Default(a, CKA_WRAP, BoolValue(false));
    SecretDefaults(a);
    return CKR_OK;
}

bool AttributeSensitive(const Attributes& object, CK_ATTRIBUTE_TYPE type)
{
    auto cls = GetUlong(object, CKA_CLASS);
    if (type != CKA_VALUE || !cls || (*cls != CKO_PRIVATE_KEY && *cls != CKO_SECRET_KEY))
        return false;
    return GetBool(object, CKA_SENSITIVE, true) || !GetBool(object, CKA_EXTRACTABLE, false);
}

bool AttributeSettable(CK_ATTRIBUTE_TYPE type)
{
    return type == CKA_LABEL || type == CKA_ID;
}

bool Matches(const Attributes& object, const Attributes& search)
{
    for (const auto& [type, value] : search) {
        // A search never tells what a value it may not give out is.
        if (AttributeSensitive(object, type))
            return false;
        auto it = object.find(type);
        if (it == object.end() || it->second != value)
            return false;
    }
    return true;
}

} // namespace trumik::testtoken
