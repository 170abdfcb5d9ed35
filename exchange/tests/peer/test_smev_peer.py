"""The peer checked on its own: the normalisation transform rule by rule,
exclusive C14N against xmllint, the signature value's byte order against the
curve itself, and sign/verify round trips with GOST 2001, 2012-256 and
2012-512 keys made by openssl."""
import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import smev_peer as peer  # noqa: E402

PEER = os.path.join(HERE, "smev_peer.py")

EXAMPLE = """<?xml version="1.0" encoding="UTF-8"?>
<root xmlns="urn:a" xmlns:b="urn:b" xmlns:unused="urn:u">
  <b:Data Id="D1" z="1" b:y="2" a="3" xmlns:c="urn:c" c:x="4">
     <!-- comment -->
     <Empty/>
     <b:Text>  текст &amp; &lt;x&gt; "q" </b:Text>
     <Other xmlns="urn:d"><Inner attr='v"&amp;'/></Other>
  </b:Data>
</root>
"""
EXAMPLE_NORMALISED = (
    '<ns1:Data xmlns:ns1="urn:b" xmlns:ns2="urn:c" ns1:y="2" ns2:x="4" Id="D1" a="3" z="1">'
    '<ns3:Empty xmlns:ns3="urn:a"></ns3:Empty><ns1:Text>  текст &amp; &lt;x&gt; "q" </ns1:Text>'
    '<ns4:Other xmlns:ns4="urn:d"><ns4:Inner attr="v&quot;&amp;"></ns4:Inner></ns4:Other></ns1:Data>'
)

REQUEST = """<?xml version="1.0" encoding="UTF-8"?>
<ns:Request xmlns:ns="urn:example:request">
  <ns:Data Id="DATA"><ns:Name>Иванова Мария</ns:Name><ns:Sum currency="RUB">1500.00</ns:Sum></ns:Data>
  <ns:CallerSignature Id="CALLER"/>
  <ns:Other id="OTHER" xmlns="urn:other"><Item>Второй</Item></ns:Other>
  <ns:Tail wsu:Id="TAIL" xmlns:wsu="WSU">x</ns:Tail>
</ns:Request>
""".replace("WSU", peer.WSU)


def norm(text):
    return peer.normalise(text.encode("utf-8")).decode("utf-8")


def run_peer(*args, data=None):
    return subprocess.run([sys.executable, PEER, *args], input=data, capture_output=True)


class NormalisationTest(unittest.TestCase):
    def test_example_gives_the_one_line_expected(self):
        element = peer.find_by_id(peer.parse(EXAMPLE.encode()), "D1")
        self.assertEqual(peer.normalise(peer.exc_c14n(element)).decode(), EXAMPLE_NORMALISED)

    def test_command_reads_octets_and_writes_utf8(self):
        c14n = run_peer("exc-c14n", "-", "--id", "D1", data=EXAMPLE.encode())
        self.assertEqual(c14n.returncode, 0, c14n.stderr)
        result = run_peer("normalise", "-", data=c14n.stdout)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, EXAMPLE_NORMALISED.encode("utf-8"))

    def test_declarations_of_the_input_are_not_copied(self):
        text = '<r xmlns="urn:a" xmlns:u="urn:unused" xmlns:b="urn:b"><b:x/></r>'
        self.assertEqual(norm(text), '<ns1:r xmlns:ns1="urn:a"><ns2:x xmlns:ns2="urn:b"></ns2:x></ns1:r>')

    def test_open_ancestor_declaration_is_reused(self):
        text = '<a:r xmlns:a="urn:a"><b:x xmlns:b="urn:b"><a:y/><b:z/></b:x></a:r>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:a"><ns2:x xmlns:ns2="urn:b"><ns1:y></ns1:y><ns2:z></ns2:z></ns2:x></ns1:r>',
        )

    def test_counter_runs_on_across_siblings(self):
        text = '<a:r xmlns:a="urn:a" xmlns:b="urn:b"><b:x><b:in/></b:x><b:y/><a:z/></a:r>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:a"><ns2:x xmlns:ns2="urn:b"><ns2:in></ns2:in></ns2:x>'
            '<ns3:y xmlns:ns3="urn:b"></ns3:y><ns1:z></ns1:z></ns1:r>',
        )

    def test_attributes_namespaced_first_by_uri_then_local_name(self):
        text = '<r xmlns="urn:e" xmlns:z="urn:a" xmlns:a="urn:z" b="1" a:b="2" z:c="3" z:a="4" A="5"/>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:e" xmlns:ns2="urn:a" xmlns:ns3="urn:z" ns2:a="4" ns2:c="3" ns3:b="2" A="5" b="1">'
            "</ns1:r>",
        )

    def test_attribute_in_the_element_namespace_takes_its_prefix(self):
        text = '<p:r xmlns:p="urn:p" p:x="1"><p:c xmlns:q="urn:q" q:y="2" p:z="3"/></p:r>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:p" ns1:x="1"><ns1:c xmlns:ns2="urn:q" ns1:z="3" ns2:y="2"></ns1:c></ns1:r>',
        )

    def test_sorting_compares_utf16_code_units(self):
        # U+10400 is a surrogate pair (D801 DC00) and so sorts before U+FF21
        # by code unit, though after it by code point.
        text = '<r xmlns="urn:e" xmlns:p="urn:\U00010400" xmlns:q="urn:\uff21" q:x="1" p:x="2"/>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:e" xmlns:ns2="urn:\U00010400" xmlns:ns3="urn:\uff21" ns2:x="2" ns3:x="1"></ns1:r>',
        )

    def test_whitespace_only_text_is_dropped_other_text_kept_whole(self):
        # XML 1.0 carries no other control character below U+0020, even as a
        # reference; tab, line feed, carriage return and space are all it has.
        text = '<r xmlns="urn:a">\t\n &#xD; <x/>&#9;<y> a\t</y><z>\u00a0</z><w>&#x20;</w></r>'
        self.assertEqual(
            norm(text),
            '<ns1:r xmlns:ns1="urn:a"><ns1:x></ns1:x><ns1:y> a\t</ns1:y><ns1:z>\u00a0</ns1:z><ns1:w></ns1:w></ns1:r>',
        )

    def test_declaration_comments_and_instructions_are_dropped(self):
        text = '<?xml version="1.0"?><!--a--><?pi x?><r xmlns="urn:a">t<!--b-->u<?pi y?>v</r><!--c-->'
        self.assertEqual(norm(text), '<ns1:r xmlns:ns1="urn:a">tuv</ns1:r>')

    def test_comment_splits_text_into_nodes(self):
        # Read as the data model of XML-DSig reads it: a comment ends a text
        # node, so the blank after it is a node of its own and goes.
        self.assertEqual(norm('<r xmlns="urn:a">a<!--c--> </r>'), '<ns1:r xmlns:ns1="urn:a">a</ns1:r>')

    def test_xml_namespace_attribute_is_renamed_as_any_other(self):
        # Rules 5 and 7 make no exception for the xml namespace.
        self.assertEqual(
            norm('<r xmlns="urn:a" xml:lang="ru"/>'),
            f'<ns1:r xmlns:ns1="urn:a" xmlns:ns2="{peer.XML_NS}" ns2:lang="ru"></ns1:r>',
        )

    def test_empty_elements_get_an_end_tag(self):
        self.assertEqual(norm('<r xmlns="urn:a" x="1"/>'), '<ns1:r xmlns:ns1="urn:a" x="1"></ns1:r>')

    def test_escaping(self):
        text = "<r xmlns=\"urn:a\" v='&lt;&gt;&amp;\"&apos;'>&lt;&gt;&amp;\"'<![CDATA[<&>]]></r>"
        self.assertEqual(
            norm(text), "<ns1:r xmlns:ns1=\"urn:a\" v=\"&lt;&gt;&amp;&quot;'\">&lt;&gt;&amp;\"'&lt;&amp;&gt;</ns1:r>"
        )

    def test_cyrillic_from_windows_1251_comes_out_as_utf8(self):
        text = '<?xml version="1.0" encoding="windows-1251"?>\n<Заявка xmlns="urn:заявка" сумма="1">Текст</Заявка>'
        expected = '<ns1:Заявка xmlns:ns1="urn:заявка" сумма="1">Текст</ns1:Заявка>'
        self.assertEqual(peer.normalise(text.encode("cp1251")), expected.encode("utf-8"))

    def test_element_without_namespace_fails(self):
        for text in ("<r/>", '<a:r xmlns:a="urn:a"><x/></a:r>', '<r xmlns="urn:a"><x xmlns=""/></r>'):
            with self.subTest(text=text), self.assertRaisesRegex(peer.PeerError, "has no namespace"):
                norm(text)
        result = run_peer("normalise", "-", data=b"<r/>")
        self.assertEqual((result.returncode, result.stdout), (2, b""))
        self.assertIn(b"element r has no namespace", result.stderr)


class ExcC14nTest(unittest.TestCase):
    """Whole documents against xmllint --exc-c14n (which keeps comments);
    element subsets against forms worked out from the recommendation."""

    DOCUMENTS = [
        EXAMPLE,
        REQUEST,
        '<?pi before?><!--c--><r xmlns="urn:d" xmlns:u="urn:u" xmlns:v="urn:v" v:b="1" a="2" u:a="3">'
        '<x xmlns=""><y xmlns="urn:d"/></x><u:z xmlns:u="urn:u2">t&#xD;\r\n<![CDATA[<&>]]></u:z></r><!--after-->',
        "<!DOCTYPE r [<!ENTITY e \"&#38;#60;ent&#38;#62;\"><!ATTLIST r d CDATA 'dflt'>]>"
        "<r a='\t&#x9;&#xA;&#xD;&quot;&lt;&gt;&amp;' xml:lang=\"ru\">&e; <?p  data ?>\u00a0Ж</r>",
        '<a:r xmlns:a="urn:a" xmlns:b="urn:b"><b:x xmlns:a="urn:a"><a:y xmlns:b="urn:b" b:q="1"/></b:x></a:r>',
    ]

    def test_documents_match_xmllint(self):
        with tempfile.TemporaryDirectory() as folder:
            for number, text in enumerate(self.DOCUMENTS):
                path = os.path.join(folder, f"{number}.xml")
                with open(path, "w", encoding="utf-8") as out:
                    out.write(text)
                expected = subprocess.run(["xmllint", "--exc-c14n", path], check=True, capture_output=True).stdout
                with self.subTest(document=number):
                    self.assertEqual(peer.exc_c14n_document(peer.parse(text.encode()), with_comments=True), expected)

    def subset(self, text, ident, **options):
        return peer.exc_c14n(peer.find_by_id(peer.parse(text.encode()), ident), **options).decode()

    def test_element_renders_only_what_it_uses(self):
        self.assertEqual(
            self.subset(REQUEST, "OTHER"),
            '<ns:Other xmlns:ns="urn:example:request" id="OTHER"><Item xmlns="urn:other">Второй</Item></ns:Other>',
        )

    def test_empty_default_namespace_only_under_a_rendered_one(self):
        text = '<r xmlns="urn:d"><x Id="X"><y xmlns=""><z/></y></x><p Id="P" xmlns=""/></r>'
        self.assertEqual(self.subset(text, "X"), '<x xmlns="urn:d" Id="X"><y xmlns=""><z></z></y></x>')
        self.assertEqual(self.subset(text, "P"), '<p Id="P"></p>')

    def test_inclusive_prefix_list(self):
        text = '<r xmlns="urn:d" xmlns:p="urn:p" xmlns:q="urn:q"><x Id="X"><p:y/></x></r>'
        self.assertEqual(
            self.subset(text, "X", prefixes=["#default", "q"]),
            '<x xmlns="urn:d" xmlns:q="urn:q" Id="X"><p:y xmlns:p="urn:p"></p:y></x>',
        )

    def test_enveloped_signature_is_left_out(self):
        text = f'<r xmlns:ds="{peer.DSIG}"><a Id="A">t<ds:Signature><ds:x/></ds:Signature>u</a></r>'
        document = peer.parse(text.encode())
        element = peer.find_by_id(document, "A")
        self.assertEqual(peer.exc_c14n(element, exclude=peer.signatures(document)[0]).decode(), '<a Id="A">tu</a>')


# Parameters of id-GostR3410-2001-CryptoPro-A-ParamSet, the curve of 2012-256
# keys made with paramset:A: p, a, b, q, base point.
CURVE_P = 2**256 - 617
CURVE_A, CURVE_B = CURVE_P - 3, 166
CURVE_Q = 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893
CURVE_G = (1, 0x8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14)


def point_add(one, two):
    if one is None or two is None:
        return one or two
    if one[0] == two[0] and (one[1] + two[1]) % CURVE_P == 0:
        return None
    if one == two:
        slope = (3 * one[0] * one[0] + CURVE_A) * pow(2 * one[1], -1, CURVE_P)
    else:
        slope = (two[1] - one[1]) * pow(two[0] - one[0], -1, CURVE_P)
    x = (slope * slope - one[0] - two[0]) % CURVE_P
    return x, (slope * (one[0] - x) - one[1]) % CURVE_P


def point_mul(k, point):
    result = None
    while k:
        if k & 1:
            result = point_add(result, point)
        point, k = point_add(point, point), k >> 1
    return result


def gost_holds(public, hashed, r, s):
    """GOST R 34.10 verification; the digest read as openssl reads it."""
    e = int.from_bytes(hashed, "little") % CURVE_Q or 1
    v = pow(e, -1, CURVE_Q)
    c = point_add(point_mul(s * v % CURVE_Q, CURVE_G), point_mul(-r * v % CURVE_Q, public))
    return c is not None and c[0] % CURVE_Q == r


class Keys:
    """GOST keys and self-signed certificates made once with openssl."""

    folder = None

    @classmethod
    def make(cls):
        cls.folder = tempfile.mkdtemp(prefix="smev-peer-")
        for kind in peer.KINDS:
            key, cert = cls.paths(kind)
            algorithm = kind.replace("-", "_")
            peer.openssl("genpkey", "-engine", "gost", "-algorithm", algorithm, "-pkeyopt", "paramset:A", "-out", key)
            subject = f"/CN=Peer {kind}"
            days = ("-days", "30")
            peer.openssl("req", "-engine", "gost", "-x509", "-new", "-key", key, "-subj", subject, *days, "-out", cert)

    @classmethod
    def paths(cls, kind):
        return os.path.join(cls.folder, kind + ".key"), os.path.join(cls.folder, kind + ".pem")


def setUpModule():
    Keys.make()


def tearDownModule():
    shutil.rmtree(Keys.folder, ignore_errors=True)


class SignatureValueTest(unittest.TestCase):
    def test_openssl_writes_s_then_r(self):
        key, cert = Keys.paths("gost2012-256")
        self.assertEqual(peer.key_kind(cert), "gost2012-256")
        text = peer.openssl("pkey", "-engine", "gost", "-in", key, "-noout", "-text").decode()
        public = tuple(int(re.search(rf"{axis}:(\w+)", text).group(1), 16) for axis in "XY")
        private = int(re.search(r"Private key: (\w+)", text).group(1), 16)
        self.assertEqual(point_mul(private, CURVE_G), public)  # the curve is the key's
        hashed = peer.digest("md_gost12_256", b"signed octets")
        value = peer.sign_digest(key, hashed)
        first, second = int.from_bytes(value[:32], "big"), int.from_bytes(value[32:], "big")
        self.assertTrue(gost_holds(public, hashed, r=second, s=first))
        self.assertFalse(gost_holds(public, hashed, r=first, s=second))


class SignVerifyTest(unittest.TestCase):
    def sign(self, text, ident, kind, **options):
        key, cert = Keys.paths(kind)
        return peer.sign(text if isinstance(text, bytes) else text.encode(), ident, key, cert, **options)

    def verdicts(self, octets):
        return [(uris, reason) for _, uris, reason in peer.verify(octets)]

    def test_each_key_signs_into_another_element_and_tampering_shows(self):
        for kind in peer.KINDS:
            with self.subTest(kind=kind):
                signed = self.sign(REQUEST, "DATA", kind, into="CALLER")
                self.assertEqual(self.verdicts(signed), [("#DATA", None)])
                self.assertIn(f'<ds:SignatureMethod Algorithm="{peer.KINDS[kind][1]}"/>'.encode(), signed)
                tampered = signed.replace("1500.00".encode(), "1500.01".encode())
                self.assertEqual(self.verdicts(tampered), [("#DATA", "digest of #DATA differs")])

    def test_signature_value_and_signed_info_tampering_shows(self):
        signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER")
        value = re.search(rb"<ds:SignatureValue>(.)", signed)
        flipped = b"B" if value.group(1) != b"B" else b"C"
        broken = signed[: value.start(1)] + flipped + signed[value.end(1) :]
        self.assertEqual(self.verdicts(broken), [("#DATA", "signature value does not verify")])
        moved = signed.replace(b'URI="#DATA"', b'URI="#TAIL"')
        self.assertEqual(self.verdicts(moved), [("#TAIL", "digest of #TAIL differs")])

    def test_values_broken_into_lines_verify_and_junk_does_not(self):
        signed = self.sign(REQUEST, "DATA", "gost2012-512", into="CALLER")

        def lines(found):
            value = found.group(2)
            return found.group(1) + b"\n".join(value[i : i + 64] for i in range(0, len(value), 64)) + b"\n"

        # Outside SignedInfo, so the signature still covers the same octets.
        wrapped = re.sub(rb"(<ds:(?:SignatureValue|X509Certificate)>)([^<]*)", lines, signed)
        self.assertIn(b"\n", re.search(rb"<ds:SignatureValue>([^<]*)", wrapped).group(1))
        self.assertEqual(self.verdicts(wrapped), [("#DATA", None)])
        junk = signed.replace(b"</ds:SignatureValue>", b"!</ds:SignatureValue>")
        self.assertEqual(self.verdicts(junk), [("#DATA", "ds:SignatureValue is not Base64")])

    def test_two_signatures_in_one_document(self):
        signed = self.sign(REQUEST, "DATA", "gost2001", into="CALLER")
        signed = self.sign(signed, "TAIL", "gost2012-512", into="CALLER")
        self.assertEqual(self.verdicts(signed), [("#DATA", None), ("#TAIL", None)])
        result = run_peer("verify", "-", data=signed.replace(b">x</ns:Tail>", b">y</ns:Tail>"))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(), "1\t#DATA\tvalid\n2\t#TAIL\tinvalid: digest of #TAIL differs\n")

    def test_enveloped_inside_the_signed_element(self):
        signed = self.sign(REQUEST, "OTHER", "gost2012-256")
        other = peer.find_by_id(peer.parse(signed), "OTHER")
        self.assertEqual(peer.signatures(peer.parse(signed))[0].parent.local, "Other")
        self.assertEqual(self.verdicts(signed), [("#OTHER", None)])
        transforms = re.findall(rb'<ds:Transform Algorithm="([^"]*)"', signed)
        self.assertEqual(transforms, [peer.ENVELOPED.encode(), peer.EXC_C14N.encode(), peer.SMEV.encode()])
        self.assertEqual(other.children[-1].local, "Signature")

    def test_signature_into_an_empty_element_and_wsu_id(self):
        signed = self.sign(REQUEST, "TAIL", "gost2012-256", into="CALLER")
        self.assertIn(b'<ns:CallerSignature Id="CALLER"><ds:Signature', signed)
        self.assertIn(b"</ds:Signature></ns:CallerSignature>", signed)
        self.assertEqual(self.verdicts(signed), [("#TAIL", None)])

    def test_signature_in_the_default_namespace_or_under_another_prefix(self):
        for prefix, opening in (("", b'<Signature xmlns="'), ("dsig", b'<dsig:Signature xmlns:dsig="')):
            with self.subTest(prefix=prefix):
                signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER", prefix=prefix)
                self.assertIn(opening + peer.DSIG.encode(), signed)
                self.assertNotIn(b"ds:", signed)
                self.assertEqual(self.verdicts(signed), [("#DATA", None)])

    def test_signed_info_canonicalised_with_its_prefix_list(self):
        key, _ = Keys.paths("gost2012-256")
        signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER")
        listed = f'<ec:InclusiveNamespaces xmlns:ec="{peer.EXC_C14N}" PrefixList="ns"/>'.encode()
        method = f'<ds:CanonicalizationMethod Algorithm="{peer.EXC_C14N}"'.encode()
        signed = signed.replace(method + b"/>", method + b">" + listed + b"</ds:CanonicalizationMethod>")
        signed_info = peer.required(peer.signatures(peer.parse(signed))[0], "SignedInfo")
        canonical = peer.canonical_signed_info(signed_info)
        self.assertTrue(canonical.startswith(f'<ds:SignedInfo xmlns:ds="{peer.DSIG}" xmlns:ns="urn:example:request">'.encode()))
        value = base64.b64encode(peer.sign_digest(key, peer.digest("md_gost12_256", canonical)))
        signed = re.sub(rb"<ds:SignatureValue>[^<]*", b"<ds:SignatureValue>" + value, signed)
        self.assertEqual(self.verdicts(signed), [("#DATA", None)])

    def test_exc_c14n_profile_has_no_normalisation(self):
        signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER", profile="exc-c14n")
        self.assertNotIn(peer.SMEV.encode(), signed)
        self.assertEqual(self.verdicts(signed), [("#DATA", None)])

    def test_newer_names_of_2001_are_accepted(self):
        newer = ("md_gost94", peer.CPXMLSEC + "gostr34102001-gostr3411", peer.CPXMLSEC + "gostr3411")
        original = peer.KINDS["gost2001"]
        peer.KINDS["gost2001"] = newer
        try:
            signed = self.sign(REQUEST, "DATA", "gost2001", into="CALLER")
        finally:
            peer.KINDS["gost2001"] = original
        self.assertIn(newer[1].encode(), signed)
        self.assertEqual(self.verdicts(signed), [("#DATA", None)])

    def test_method_that_does_not_fit_the_key_is_refused(self):
        signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER")
        claimed = signed.replace(peer.KINDS["gost2012-256"][1].encode(), peer.KINDS["gost2001"][1].encode())
        reason = f"signature method {peer.KINDS['gost2001'][1]} does not fit the certificate's key"
        self.assertEqual(self.verdicts(claimed), [("#DATA", reason)])

    def test_identifier_on_two_elements_is_an_error(self):
        twice = REQUEST.replace('id="OTHER"', 'id="DATA"')
        with self.assertRaisesRegex(peer.PeerError, "2 elements carry the identifier DATA"):
            self.sign(twice, "DATA", "gost2012-256", into="CALLER")
        signed = self.sign(REQUEST, "DATA", "gost2012-256", into="CALLER")
        verdicts = self.verdicts(signed.replace(b'id="OTHER"', b'id="DATA"'))
        self.assertEqual(verdicts, [("#DATA", "2 elements carry the identifier DATA")])

    def test_document_in_windows_1251_keeps_its_octets(self):
        text = REQUEST.replace('encoding="UTF-8"', 'encoding="windows-1251"').encode("cp1251")
        signed = self.sign(text, "DATA", "gost2012-256", into="CALLER")
        self.assertIn("Иванова Мария".encode("cp1251"), signed)
        self.assertEqual(self.verdicts(signed), [("#DATA", None)])
        tampered = signed.replace("Мария".encode("cp1251"), "Марья".encode("cp1251"))
        self.assertEqual(self.verdicts(tampered), [("#DATA", "digest of #DATA differs")])

    def test_document_in_utf16_is_refused_not_corrupted(self):
        text = REQUEST.replace('encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16")
        self.assertEqual(peer.find_by_id(peer.parse(text), "DATA").local, "Data")
        with self.assertRaisesRegex(peer.PeerError, "UTF-16"):
            self.sign(text, "DATA", "gost2012-256", into="CALLER")

    def test_external_entity_is_refused_not_skipped(self):
        text = '<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/hostname">]><r xmlns="urn:a" Id="A">&x;</r>'
        with self.assertRaisesRegex(peer.PeerError, "entity x"):
            self.sign(text, "A", "gost2012-256")

    def test_command_line_round_trip(self):
        key, cert = Keys.paths("gost2012-512")
        options = ("--id", "DATA", "--into", "CALLER", "--key", key, "--cert", cert)
        signed = run_peer("sign", "-", *options, data=REQUEST.encode())
        self.assertEqual(signed.returncode, 0, signed.stderr)
        result = run_peer("verify", "-", data=signed.stdout)
        self.assertEqual((result.returncode, result.stdout), (0, b"1\t#DATA\tvalid\n"))
        self.assertEqual(run_peer("verify", "-", data=REQUEST.encode()).returncode, 2)


if __name__ == "__main__":
    unittest.main()
