#include "DSigRestrictions.h"

#include <xmlsec/transforms.h>

namespace trumik::common {

int RestrictToTheDocument(xmlSecDSigCtxPtr ctx)
{
    ctx->enabledReferenceUris =
        static_cast<xmlSecTransformUriType>(xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument);
    const xmlSecTransformId c14n[] = {
        xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
        xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
        xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId,
    };
    for (xmlSecTransformId id : c14n) {
        if (xmlSecDSigCtxEnableReferenceTransform(ctx, id) < 0 ||
            xmlSecDSigCtxEnableSignatureTransform(ctx, id) < 0)
            return -1;
    }
    xmlSecPtrListPtr registered = xmlSecTransformIdsGet();
    const xmlSecSize count = registered ? xmlSecPtrListGetSize(registered) : 0;
    for (xmlSecSize i = 0; i < count; ++i) {
        auto id = static_cast<xmlSecTransformId>(xmlSecPtrListGetItem(registered, i));
        if (id == xmlSecTransformIdUnknown || id == nullptr)
            continue;
        if ((id->usage & xmlSecTransformUsageDigestMethod) &&
            xmlSecDSigCtxEnableReferenceTransform(ctx, id) < 0)
            return -1;
        if ((id->usage & xmlSecTransformUsageSignatureMethod) &&
            xmlSecDSigCtxEnableSignatureTransform(ctx, id) < 0)
            return -1;
    }
    return 0;
}

} // namespace trumik::common
