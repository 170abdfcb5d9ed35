#!/usr/bin/env python3
"""An independent signer and verifier of element signatures: XML-DSig over one
element referenced by its Id, exclusive C14N, then the normalisation transform
urn://smev-gov-ru/xmldsig/transform, with GOST keys through `openssl` and its
GOST engine. The XML side is expat from Python's standard library with a tree
of our own that keeps every namespace declaration, so nothing here shares code
(or libxml2) with the component the tests check.

    smev_peer.py normalise IN
    smev_peer.py exc-c14n IN [--id ID] [--exclude-signature] [--prefixes LIST] [--with-comments]
    smev_peer.py verify IN
    smev_peer.py sign IN --id ID [--into PARENT_ID] --key KEY.pem --cert CERT.pem
                      [--profile smev3|exc-c14n] [--prefix PREFIX]

IN may be "-" for standard input. Output octets go to standard output as they are.
"""
import argparse
import base64
import binascii
import os
import re
import subprocess
import sys
import tempfile
import xml.parsers.expat

DSIG = "http://www.w3.org/2000/09/xmldsig#"
XML_NS = "http://www.w3.org/XML/1998/namespace"
WSU = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd"
EXC_C14N = "http://www.w3.org/2001/10/xml-exc-c14n#"
EXC_C14N_COMMENTS = EXC_C14N + "WithComments"
ENVELOPED = DSIG + "enveloped-signature"
SMEV = "urn://smev-gov-ru/xmldsig/transform"
CPXMLSEC = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:"
MORE = "http://www.w3.org/2001/04/xmldsig-more#"

# Key kind -> (openssl digest, signature URI written, digest URI written).
KINDS = {
    "gost2001": ("md_gost94", MORE + "gostr34102001-gostr3411", MORE + "gostr3411"),
    "gost2012-256": ("md_gost12_256", CPXMLSEC + "gostr34102012-gostr34112012-256", CPXMLSEC + "gostr34112012-256"),
    "gost2012-512": ("md_gost12_512", CPXMLSEC + "gostr34102012-gostr34112012-512", CPXMLSEC + "gostr34112012-512"),
}
# Signature URI read -> key kind; the newer spellings of the 2001 names too.
SIGNATURE_URIS = {uri: kind for kind, (_, uri, _) in KINDS.items()}
SIGNATURE_URIS[CPXMLSEC + "gostr34102001-gostr3411"] = "gost2001"
# Digest URI read -> openssl digest.
DIGEST_URIS = {uri: md for md, _, uri in KINDS.values()}
DIGEST_URIS[CPXMLSEC + "gostr3411"] = "md_gost94"


class PeerError(Exception):
    """A document, transform or key this peer refuses, with the reason."""


# ---------------------------------------------------------------------------
# The tree: elements with their namespace declarations, text, comments, PIs.


class Text:
    def __init__(self, data):
        self.data = data


class Comment:
    def __init__(self, data):
        self.data = data


class PI:
    def __init__(self, target, data):
        self.target, self.data = target, data


class Attr:
    def __init__(self, qname, value, scope):
        self.qname, self.value = qname, value
        self.prefix, self.local = split_qname(qname)
        self.ns = resolve(scope, self.prefix, qname) if self.prefix else None


class Element:
    def __init__(self, qname, raw_attrs, parent, start):
        self.qname, self.parent, self.start, self.end = qname, parent, start, None
        self.children = []
        self.decls = {}  # prefix ('' for the default) -> URI ('' undeclares)
        plain = []
        for name, value in raw_attrs:
            if name == "xmlns" or name.startswith("xmlns:"):
                self.decls[name[6:]] = value
            else:
                plain.append((name, value))
        self.scope = dict(parent.scope) if parent else {"xml": XML_NS}
        self.scope.update(self.decls)
        self.prefix, self.local = split_qname(qname)
        self.ns = resolve(self.scope, self.prefix, qname) or None
        self.attrs = [Attr(name, value, self.scope) for name, value in plain]

    def elements(self):
        """This element and every element below it, in document order."""
        yield self
        for child in self.children:
            if isinstance(child, Element):
                yield from child.elements()

    def children_named(self, ns, local):
        return [c for c in self.children if isinstance(c, Element) and (c.ns, c.local) == (ns, local)]

    def child(self, ns, local):
        return next(iter(self.children_named(ns, local)), None)

    def attr(self, local):
        return next((a.value for a in self.attrs if a.ns is None and a.local == local), None)

    def text(self):
        parts = (c.data if isinstance(c, Text) else c.text() for c in self.children if isinstance(c, (Text, Element)))
        return "".join(parts)

    def inside(self, other):
        node = self
        while node is not None and node is not other:
            node = node.parent
        return node is other


class Document:
    def __init__(self):
        self.prolog, self.epilog, self.root = [], [], None


def split_qname(qname):
    prefix, _, local = qname.rpartition(":")
    return prefix, local


def resolve(scope, prefix, qname):
    if prefix not in scope and prefix != "":
        raise PeerError(f"prefix of {qname} is not declared")
    return scope.get(prefix, "")


def parse(octets):
    """Parses a document into the tree. External entities are refused, never
    loaded: a document that needs them is not read with a part missing."""
    builder = _TreeBuilder()
    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True
    parser.buffer_text = True
    parser.SetParamEntityParsing(xml.parsers.expat.XML_PARAM_ENTITY_PARSING_NEVER)
    builder.attach(parser)
    try:
        parser.Parse(octets, True)
    except xml.parsers.expat.ExpatError as error:
        raise PeerError(f"not well-formed XML: {error}") from None
    return builder.document


class _TreeBuilder:
    def __init__(self):
        self.document, self.open = Document(), None

    def attach(self, parser):
        self.parser = parser
        parser.StartElementHandler = self.start
        parser.EndElementHandler = self.end
        parser.CharacterDataHandler = self.text
        parser.CommentHandler = lambda data: self.add(Comment(data))
        parser.ProcessingInstructionHandler = lambda target, data: self.add(PI(target, data))
        parser.ExternalEntityRefHandler = self.refuse_entity
        parser.SkippedEntityHandler = self.refuse_entity

    def refuse_entity(self, name, *_):
        raise PeerError(f"the document needs the external or undeclared entity {name}")

    def start(self, qname, attrs):
        pairs = list(zip(attrs[0::2], attrs[1::2]))
        element = Element(qname, pairs, self.open, self.parser.CurrentByteIndex)
        if self.open is None:
            self.document.root = element
        else:
            self.open.children.append(element)
        self.open = element

    def end(self, _):
        self.open.end = self.parser.CurrentByteIndex
        self.open = self.open.parent

    def text(self, data):
        if self.open is None:
            return
        children = self.open.children
        if children and isinstance(children[-1], Text):
            children[-1].data += data  # text and CDATA make one text node
        else:
            children.append(Text(data))

    def add(self, node):
        if self.open is not None:
            self.open.children.append(node)
        elif self.document.root is None:
            self.document.prolog.append(node)
        else:
            self.document.epilog.append(node)


# ---------------------------------------------------------------------------
# Exclusive XML Canonicalization 1.0 of an element's subtree, or of a whole
# document, optionally leaving out one element (an enveloped signature).


def c14n_text(data):
    return data.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\r", "&#xD;")


C14N_ATTR_ESCAPES = (("&", "&amp;"), ("<", "&lt;"), ('"', "&quot;"), ("\t", "&#x9;"), ("\n", "&#xA;"), ("\r", "&#xD;"))


def c14n_attr(data):
    for raw, escaped in C14N_ATTR_ESCAPES:
        data = data.replace(raw, escaped)
    return data


class _ExcC14n:
    def __init__(self, exclude, prefixes, with_comments):
        self.exclude, self.with_comments = exclude, with_comments
        self.inclusive = {"" if p == "#default" else p for p in prefixes}
        self.out = []

    def namespaces(self, element, rendered):
        """The declarations this element renders: those it visibly uses and
        the inclusive prefixes in scope, unless an output ancestor rendered
        the same already."""
        wanted = {element.prefix} | {a.prefix for a in element.attrs if a.prefix}
        wanted |= {p for p in self.inclusive if p in element.scope}
        wanted.discard("xml")
        result = {}
        for prefix in wanted:
            uri = element.scope.get(prefix, "")
            if rendered.get(prefix, "") != uri:
                result[prefix] = uri
        return result

    def element(self, element, rendered):
        if element is self.exclude:
            return
        decls = self.namespaces(element, rendered)
        rendered = {**rendered, **decls}
        self.out.append("<" + element.qname)
        for prefix in sorted(decls):
            name = "xmlns:" + prefix if prefix else "xmlns"
            self.out.append(f' {name}="{c14n_attr(decls[prefix])}"')
        for attr in sorted(element.attrs, key=lambda a: (a.ns or "", a.local)):
            self.out.append(f' {attr.qname}="{c14n_attr(attr.value)}"')
        self.out.append(">")
        for child in element.children:
            self.node(child, rendered)
        self.out.append(f"</{element.qname}>")

    def node(self, node, rendered):
        if isinstance(node, Element):
            self.element(node, rendered)
        elif isinstance(node, Text):
            self.out.append(c14n_text(node.data))
        elif isinstance(node, PI):
            self.out.append(f"<?{node.target} {node.data}?>" if node.data else f"<?{node.target}?>")
        elif self.with_comments:
            self.out.append(f"<!--{node.data}-->")

    def outside(self, nodes, before):
        for node in nodes:
            if isinstance(node, Comment) and not self.with_comments:
                continue
            if not before:
                self.out.append("\n")
            self.node(node, {})
            if before:
                self.out.append("\n")


def exc_c14n(element, exclude=None, prefixes=(), with_comments=False):
    """The canonical octets of `element`'s subtree without `exclude`."""
    writer = _ExcC14n(exclude, prefixes, with_comments)
    writer.element(element, {})
    return "".join(writer.out).encode("utf-8")


def exc_c14n_document(document, with_comments=False):
    writer = _ExcC14n(None, (), with_comments)
    writer.outside(document.prolog, before=True)
    writer.element(document.root, {})
    writer.outside(document.epilog, before=False)
    return "".join(writer.out).encode("utf-8")


# ---------------------------------------------------------------------------
# The normalisation transform.


def utf16_key(text):
    return text.encode("utf-16-be")  # byte order of UTF-16BE is code unit order


def norm_text(data):
    return data.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def norm_attr(data):
    return norm_text(data).replace('"', "&quot;")


class _Normaliser:
    def __init__(self):
        self.count, self.scopes, self.out = 0, [], []

    def prefix_for(self, uri, new):
        """The prefix an open element declared for `uri`, or a new one added
        to `new` (the declarations of the element being written)."""
        for scope in reversed(self.scopes + [new]):
            if uri in scope:
                return scope[uri]
        self.count += 1
        new[uri] = f"ns{self.count}"
        return new[uri]

    def element(self, element):
        if not element.ns:
            raise PeerError(f"element {element.qname} has no namespace")
        new = {}
        name = f"{self.prefix_for(element.ns, new)}:{element.local}"
        with_ns = sorted((a for a in element.attrs if a.ns), key=lambda a: (utf16_key(a.ns), utf16_key(a.local)))
        without = sorted((a for a in element.attrs if not a.ns), key=lambda a: utf16_key(a.local))
        attrs = [(f"{self.prefix_for(a.ns, new)}:{a.local}", a.value) for a in with_ns]
        attrs += [(a.local, a.value) for a in without]
        self.out.append("<" + name)
        self.out += [f' xmlns:{prefix}="{norm_attr(uri)}"' for uri, prefix in new.items()]
        self.out += [f' {qname}="{norm_attr(value)}"' for qname, value in attrs]
        self.out.append(">")
        self.scopes.append(new)
        for child in element.children:
            if isinstance(child, Element):
                self.element(child)
            elif isinstance(child, Text) and any(ord(c) > 0x20 for c in child.data):
                self.out.append(norm_text(child.data))
        self.scopes.pop()
        self.out.append(f"</{name}>")


def normalise(octets):
    """The normalisation transform's output for the octets it receives."""
    writer = _Normaliser()
    writer.element(parse(octets).root)
    return "".join(writer.out).encode("utf-8")


# ---------------------------------------------------------------------------
# openssl with the GOST engine.


def openssl(*args, data=None):
    result = subprocess.run(["openssl", *args], input=data, capture_output=True)
    if result.returncode != 0:
        raise PeerError(f"openssl {args[0]} failed: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def digest(md, data):
    return openssl("dgst", "-engine", "gost", f"-{md}", "-binary", data=data)


def key_kind(cert_pem_path):
    """gost2001, gost2012-256 or gost2012-512, from the certificate's key."""
    text = openssl("x509", "-engine", "gost", "-in", cert_pem_path, "-noout", "-text").decode()
    found = re.search(r"Public Key Algorithm: (.*)", text)
    name = found.group(1) if found else ""
    if "34.10-2001" in name:
        return "gost2001"
    for bits in ("256", "512"):
        if "34.10-2012" in name and bits in name:
            return "gost2012-" + bits
    raise PeerError(f"not a GOST key: {name or 'unknown'}")


def sign_digest(key_path, hashed):
    """The signature value as openssl makes it (s then r, big-endian)."""
    return openssl("pkeyutl", "-engine", "gost", "-sign", "-inkey", key_path, data=hashed)


def verify_digest(cert_path, hashed, signature):
    with tempfile.TemporaryDirectory() as folder:
        sig_path = os.path.join(folder, "signature")
        with open(sig_path, "wb") as out:
            out.write(signature)
        result = subprocess.run(
            ["openssl", "pkeyutl", "-engine", "gost", "-verify", "-certin", "-inkey", cert_path, "-sigfile", sig_path],
            input=hashed,
            capture_output=True,
        )
    return result.returncode == 0


def pem_certificate(der):
    lines = base64.encodebytes(der).decode().replace("\n", "")
    body = "\n".join(lines[i : i + 64] for i in range(0, len(lines), 64))
    return f"-----BEGIN CERTIFICATE-----\n{body}\n-----END CERTIFICATE-----\n"


def certificate_base64(cert_path):
    with open(cert_path, "rb") as source:
        data = source.read()
    if b"-----BEGIN" not in data:
        return base64.b64encode(data).decode()
    found = re.search(rb"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", data, re.S)
    if not found:
        raise PeerError(f"no certificate in {cert_path}")
    return b"".join(found.group(1).split()).decode()


# ---------------------------------------------------------------------------
# References and transforms.

ID_ATTRIBUTES = {(None, "Id"), (None, "id"), (None, "ID"), (WSU, "Id")}


def carries_id(element, ident):
    return any((a.ns, a.local) in ID_ATTRIBUTES and a.value == ident for a in element.attrs)


def find_by_id(document, ident):
    found = [e for e in document.root.elements() if carries_id(e, ident)]
    if not found:
        raise PeerError(f"no element has the identifier {ident}")
    if len(found) > 1:
        raise PeerError(f"{len(found)} elements carry the identifier {ident}")
    return found[0]


def apply_transforms(document, reference, signature):
    """The octets a reference digests: its element, then each transform."""
    uri = reference.attr("URI")
    if uri is None or not uri.startswith("#"):
        raise PeerError(f"reference {uri!r} is not to an element of this document")
    node_set, octets = (find_by_id(document, uri[1:]), None), None
    transforms = reference.child(DSIG, "Transforms")
    for transform in transforms.children if transforms else []:
        if isinstance(transform, Element):
            node_set, octets = apply_transform(transform, node_set, octets, signature)
    if octets is None:
        raise PeerError("the transforms end in a node-set, not in octets")
    return octets


def inclusive_prefixes(method):
    """The InclusiveNamespaces PrefixList of an exclusive C14N method element."""
    listed = method.child(EXC_C14N, "InclusiveNamespaces")
    return (listed.attr("PrefixList") or "").split() if listed is not None else ()


def apply_transform(transform, node_set, octets, signature):
    algorithm = transform.attr("Algorithm")
    if algorithm == ENVELOPED and node_set:
        return (node_set[0], signature), None
    if algorithm in (EXC_C14N, EXC_C14N_COMMENTS) and node_set:
        # A bare "#id" reference selects its element without comments, so
        # the variant with comments has none to keep either.
        return None, exc_c14n(*node_set, prefixes=inclusive_prefixes(transform))
    if algorithm == SMEV and octets is not None:
        return None, normalise(octets)
    raise PeerError(f"transform {algorithm} is not supported at this place of the chain")


# ---------------------------------------------------------------------------
# Verification.


def signatures(document):
    return [e for e in document.root.elements() if (e.ns, e.local) == (DSIG, "Signature")]


def required(element, local):
    found = element.child(DSIG, local)
    if found is None:
        raise PeerError(f"ds:{element.local} has no ds:{local}")
    return found


def base64_value(element):
    """The octets of a Base64 element; whitespace between is allowed, nothing else."""
    try:
        return base64.b64decode("".join(element.text().split()), validate=True)
    except binascii.Error:
        raise PeerError(f"ds:{element.local} is not Base64") from None


def check_references(document, signed_info, signature):
    references = signed_info.children_named(DSIG, "Reference")
    if not references:
        raise PeerError("ds:SignedInfo has no ds:Reference")
    for reference in references:
        method = required(reference, "DigestMethod").attr("Algorithm")
        if method not in DIGEST_URIS:
            raise PeerError(f"digest method {method} is not supported")
        computed = digest(DIGEST_URIS[method], apply_transforms(document, reference, signature))
        if computed != base64_value(required(reference, "DigestValue")):
            raise PeerError(f"digest of {reference.attr('URI')} differs")


def canonical_signed_info(signed_info):
    method = required(signed_info, "CanonicalizationMethod")
    algorithm = method.attr("Algorithm")
    if algorithm not in (EXC_C14N, EXC_C14N_COMMENTS):
        raise PeerError("ds:SignedInfo is not canonicalised with exclusive C14N")
    return exc_c14n(signed_info, prefixes=inclusive_prefixes(method), with_comments=algorithm == EXC_C14N_COMMENTS)


def check_signature_value(signed_info, signature):
    method = required(signed_info, "SignatureMethod").attr("Algorithm")
    if method not in SIGNATURE_URIS:
        raise PeerError(f"signature method {method} is not supported")
    canonical = canonical_signed_info(signed_info)
    x509 = required(required(required(signature, "KeyInfo"), "X509Data"), "X509Certificate")
    with tempfile.TemporaryDirectory() as folder:
        cert_path = os.path.join(folder, "cert.pem")
        with open(cert_path, "w") as out:
            out.write(pem_certificate(base64_value(x509)))
        kind = SIGNATURE_URIS[method]
        if key_kind(cert_path) != kind:
            raise PeerError(f"signature method {method} does not fit the certificate's key")
        hashed = digest(KINDS[kind][0], canonical)
        value = base64_value(required(signature, "SignatureValue"))
        if not verify_digest(cert_path, hashed, value):
            raise PeerError("signature value does not verify")


def verify_one(document, signature):
    """(reference URIs, None) when the signature holds, else (URIs, reason)."""
    uris = "?"
    try:
        signed_info = required(signature, "SignedInfo")
        uris = " ".join(r.attr("URI") or "" for r in signed_info.children_named(DSIG, "Reference"))
        check_references(document, signed_info, signature)
        check_signature_value(signed_info, signature)
        return uris, None
    except PeerError as error:
        return uris, str(error)


def verify(octets):
    """One (index, references, reason or None) per signature of the document."""
    document = parse(octets)
    found = signatures(document)
    if not found:
        raise PeerError("the document has no ds:Signature")
    return [(index, *verify_one(document, s)) for index, s in enumerate(found, 1)]


# ---------------------------------------------------------------------------
# Signing.

DIGEST_SLOT, VALUE_SLOT = "@@DIGEST@@", "@@SIGNATURE-VALUE@@"


def signature_text(ident, kind, profile, enveloped, cert_b64, prefix):
    _, signature_uri, digest_uri = KINDS[kind]
    chain = ([ENVELOPED] if enveloped else []) + [EXC_C14N] + ([SMEV] if profile == "smev3" else [])
    transforms = "".join(f'<ds:Transform Algorithm="{uri}"/>' for uri in chain)
    text = (
        f'<ds:Signature xmlns:ds="{DSIG}"><ds:SignedInfo>'
        f'<ds:CanonicalizationMethod Algorithm="{EXC_C14N}"/>'
        f'<ds:SignatureMethod Algorithm="{signature_uri}"/>'
        f'<ds:Reference URI="#{norm_attr(ident)}"><ds:Transforms>{transforms}</ds:Transforms>'
        f'<ds:DigestMethod Algorithm="{digest_uri}"/><ds:DigestValue>{DIGEST_SLOT}</ds:DigestValue>'
        f"</ds:Reference></ds:SignedInfo><ds:SignatureValue>{VALUE_SLOT}</ds:SignatureValue>"
        f"<ds:KeyInfo><ds:X509Data><ds:X509Certificate>{cert_b64}</ds:X509Certificate></ds:X509Data></ds:KeyInfo>"
        "</ds:Signature>"
    )
    if prefix != "ds":
        named, declared = (prefix + ":", "xmlns:" + prefix) if prefix else ("", "xmlns")
        text = text.replace("<ds:", "<" + named).replace("</ds:", "</" + named).replace("xmlns:ds", declared)
    return text.encode("ascii")


def start_tag_end(octets, start):
    """The index after the '>' of the start tag at `start`, quotes respected."""
    quote = None
    for index in range(start, len(octets)):
        char = octets[index : index + 1]
        if quote:
            quote = None if char == quote else quote
        elif char in (b'"', b"'"):
            quote = char
        elif char == b">":
            return index + 1
    raise PeerError("start tag without its end")


def splice_last_child(octets, parent, text):
    """The document with `text` as the last child of `parent`. The signature
    is ASCII, written into the octets as they are: their encoding must keep
    ASCII as it is, which UTF-16 does not."""
    if octets[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\x00" in octets[:4]:
        raise PeerError("a document in UTF-16 is not signed here")
    tag_end = start_tag_end(octets, parent.start)
    if octets[tag_end - 2 : tag_end] != b"/>":
        return octets[: parent.end] + text + octets[parent.end :]
    name = re.match(rb"<([^\s/>]+)", octets[parent.start :]).group(1)
    return octets[: tag_end - 2] + b">" + text + b"</" + name + b">" + octets[tag_end:]


def signature_holding(octets, slot):
    """The parsed document and its signature that still holds `slot`."""
    document = parse(octets)
    return document, next(s for s in signatures(document) if slot in s.text())


def sign(octets, ident, key_path, cert_path, into=None, profile="smev3", prefix="ds"):
    """The document with a new element signature over the element `ident`,
    placed as the last child of `into` (the signed element itself if None);
    its elements carry `prefix`, or the default namespace when it is empty."""
    if DIGEST_SLOT.encode() in octets or VALUE_SLOT.encode() in octets:
        raise PeerError("the document holds the signer's placeholder text")
    document = parse(octets)
    target = find_by_id(document, ident)
    parent = find_by_id(document, into) if into else target
    kind = key_kind(cert_path)
    text = signature_text(ident, kind, profile, parent.inside(target), certificate_base64(cert_path), prefix)
    octets = splice_last_child(octets, parent, text)

    document, signature = signature_holding(octets, DIGEST_SLOT)
    reference = required(required(signature, "SignedInfo"), "Reference")
    value = digest(KINDS[kind][0], apply_transforms(document, reference, signature))
    octets = octets.replace(DIGEST_SLOT.encode(), base64.b64encode(value), 1)

    _, signature = signature_holding(octets, VALUE_SLOT)
    hashed = digest(KINDS[kind][0], exc_c14n(required(signature, "SignedInfo")))
    return octets.replace(VALUE_SLOT.encode(), base64.b64encode(sign_digest(key_path, hashed)), 1)


# ---------------------------------------------------------------------------
# The command line.


def read_input(path):
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as source:
        return source.read()


def command_normalise(args):
    sys.stdout.buffer.write(normalise(read_input(args.input)))
    return 0


def command_exc_c14n(args):
    document = parse(read_input(args.input))
    prefixes = args.prefixes.split() if args.prefixes else ()
    if args.id is None:
        sys.stdout.buffer.write(exc_c14n_document(document, args.with_comments))
        return 0
    element = find_by_id(document, args.id)
    inner = [s for s in signatures(document) if s.inside(element)]
    exclude = inner[0] if args.exclude_signature and inner else None
    sys.stdout.buffer.write(exc_c14n(element, exclude, prefixes, args.with_comments))
    return 0


def command_verify(args):
    results = verify(read_input(args.input))
    for index, uris, reason in results:
        print(f"{index}\t{uris}\t{'valid' if reason is None else 'invalid: ' + reason}")
    return 0 if all(reason is None for _, _, reason in results) else 1


def command_sign(args):
    octets = sign(read_input(args.input), args.id, args.key, args.cert, args.into, args.profile, args.prefix)
    sys.stdout.buffer.write(octets)
    return 0


def arguments(argv):
    parser = argparse.ArgumentParser(prog="smev_peer.py", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("normalise", help="the normalisation transform of IN's octets")
    command.add_argument("input", metavar="IN")
    command.set_defaults(run=command_normalise)
    command = commands.add_parser("exc-c14n", help="exclusive C14N of IN, or of its element with --id")
    command.add_argument("input", metavar="IN")
    command.add_argument("--id")
    command.add_argument("--exclude-signature", action="store_true", help="leave out a ds:Signature inside it")
    command.add_argument("--prefixes", help="InclusiveNamespaces PrefixList")
    command.add_argument("--with-comments", action="store_true")
    command.set_defaults(run=command_exc_c14n)
    command = commands.add_parser("verify", help="verify every ds:Signature of IN")
    command.add_argument("input", metavar="IN")
    command.set_defaults(run=command_verify)
    command = commands.add_parser("sign", help="sign IN's element ID, print the document")
    command.add_argument("input", metavar="IN")
    command.add_argument("--id", required=True)
    command.add_argument("--into", metavar="PARENT_ID")
    command.add_argument("--key", required=True)
    command.add_argument("--cert", required=True)
    command.add_argument("--profile", choices=("smev3", "exc-c14n"), default="smev3")
    command.add_argument("--prefix", default="ds", help='prefix of the signature\'s elements; "" for none')
    command.set_defaults(run=command_sign)
    return parser.parse_args(argv)


def main(argv=None):
    args = arguments(argv)
    try:
        return args.run(args)
    except PeerError as error:
        print(f"smev_peer.py {args.command}: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
