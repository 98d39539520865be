* Application dictionary of the reference library: how commands name and
* show pool A. Files are named as the commands name them (BIBLS, LOANS, ...)
* or by their three-letter codes (BIB, LOA, ...).

* CASH: the data file of the borrowers' cash transactions (fines, postage);
* ORDERLOG: the data file of the orders' log.
POOL=A,LONG='Stadtbibliothek Beispielstadt',DEFIN=A,FILE=APPFILES,SCRIPT=APROCS,
  INFO='BIBLS=BIBLS',INFO='CASH=13',INFO='ORDERLOG=14',DATEFORM=2

(APPFILES)
FILE=BIBLS,NAME=BIB,NUMBER=1,LONG='Titel',TAG=ABIBTAG,INDEX=ABIBASP,LINK=ABIBLNK,FORM=ABIBFRM,
  LOCATE=ABIBLOC
FILE=ITEMS,NAME=ITM,NUMBER=2,LONG='Exemplare',INDEX=AITMASP,FORM=AITMFRM
FILE=LOANS,NAME=LOA,NUMBER=3,LONG='Ausleihen',INDEX=ALOAASP,LINK=ALOALNK,FORM=ALOAFRM
FILE=USERS,NAME=USR,NUMBER=4,LONG='Leser',INDEX=AUSRASP,LINK=AUSRLNK,FORM=ACOMFRM
FILE=ADDRS,NAME=ADR,NUMBER=5,LONG='Adressen',FORM=AADRFRM
FILE=ORDER,NAME=ORD,NUMBER=6,LONG='Bestellungen',INDEX=AORDASP,FORM=AORDFRM
FILE=VENDR,NAME=VDR,NUMBER=7,LONG='Lieferanten',FORM=AVDRFRM
FILE=VENAD,NAME=VAD,NUMBER=8,LONG='Lieferantenadressen',FORM=ACOMFRM

* ---------------------------------------------------------------- titles
(ABIBTAG)
TAG=020,TEXT='ISBN'
TAG=100,TEXT='Verfasser'
TAG=245,TEXT='Titel'
TAG=260,TEXT='Erscheinungsvermerk'
TAG=650,TEXT='Schlagwort'
(ABIBASP)
INDEX=TIT,NUMBER=1,LIST=YES,FAM=ALL
INDEX=AUT,NUMBER=2,FAM=ALL
INDEX=SUB,NUMBER=3,LIST=YES,FAM=ALL
INDEX=ISB,NUMBER=4
INDEX=JAH,NUMBER=10
* TPH: the title as a phrase from its first filing character ("haus am?")
INDEX=TPH,NUMBER=9
INDEX=WRD,NUMBER=1,LIST=YES,FAM=ALL,FULL=YES
* IDN: the record numbers themselves
INDEX=IDN,NUMBER=0
(ABIBLNK)
LINK=1,FORM=SHORT
* TITEL: a link text names its target by the title phrase ("Nacht*" truncated)
(ABIBLOC)
LOCATE=TITEL,INDEX=TPH,LIMIT=10
* Forms with PATH= have a layout file (see docs/formatting.md); the others
* show every field. 001 and 002 are sort forms: their text becomes a term of
* the index named by INDEX= (capitals, umlauts spelt out).
(ABIBFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=SHORT,TEXT='Kurztitel',PATH=../etc/forms/short.frm,COLUMNS=ADEFCOL
FORM=LIST,PATH=../etc/forms/list.frm,COLUMNS=ALISTCOL
FORM=SORTINFO,PATH=../etc/forms/sortinfo.frm,COLUMNS=ADEFCOL
FORM=001,TEXT='Titel',PATH=../etc/forms/title.frm,INDEX=9
FORM=002,TEXT='Verfasser',PATH=../etc/forms/author.frm,INDEX=2
FORM=SCAN,PATH=../etc/forms/scan.frm,COLUMNS=ASCANCOL
FORM=PRINTLIST,TYPE=H,STYLE=LIST,TEXT='Titelliste',PATH=../etc/forms/list.frm,
  PAGEHEAD=../etc/forms/list_head.frm,PAGEFOOT=../etc/forms/list_foot.frm

* ---------------------------------------------------------------- other files
(AITMASP)
INDEX=BAR,NUMBER=8
INDEX=IDN,NUMBER=0
* Copies by the words of their titles: searched in BIBLS, carried over
* through the titles' link MEX.
INDEX=TIT,FILE=BIBLS,LINK=1
(ALOAASP)
INDEX=DDT,NUMBER=5
INDEX=IDN,NUMBER=0
(AUSRASP)
INDEX=BAR,NUMBER=7
INDEX=IDN,NUMBER=0
(AORDASP)
INDEX=CLD,NUMBER=6
INDEX=IDN,NUMBER=0

* ---------------------------------------------------------------- forms
(ACOMFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
* Print forms (see docs/circulation.md): TYPE=H documents are XML turned
* into HTML by the stylesheet STYLE= (etc/styles/); HEAD=YES puts the form's
* "Header" text first; RECHEAD=/RECFOOT= are the parts before and after a
* record, PAGEHEAD=/PAGEFOOT= those of a list; LINK= writes the records of
* those links after the record, each by the form the file's LINK= names.
(ALOAFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=BORR_REMIND,TYPE=H,STYLE=LETTER,HEAD=YES,TEXT='Mahnung: Leser',
  PATH=../etc/forms/remind_borrower.frm,LINK=1
FORM=LOAN_REMIND,TYPE=H,TEXT='Mahnung: Ausleihe',PATH=../etc/forms/remind_loan.frm,LINK=2
FORM=LOAN_REMFOOT,TYPE=H,TEXT='Mahnung: Schluss',PATH=../etc/forms/remind_footer.frm,
  RECFOOT=../etc/forms/remind_closing.frm
(ALOALNK)
LINK=2,FORM=REMIND
(AUSRLNK)
LINK=1,FORM=ADDRESS
(AITMFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=REMIND,PATH=../etc/forms/item.frm
(AADRFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=ADDRESS,PATH=../etc/forms/address.frm
(AORDFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=CLMLIST,TYPE=H,STYLE=CLAIM,TEXT='Reklamation',PATH=../etc/forms/claim_order.frm
(AVDRFRM)
FORM=DEFAULT-1,COLUMNS=ADEFCOL
FORM=CLMLIST,HEAD=YES,TEXT='Reklamation: Lieferant',PATH=../etc/forms/claim_vendor.frm

* ---------------------------------------------------------------- display columns
(ADEFCOL)
COLUMN=1,SIGN=U,ATTRIB=U,CODE=01,NAME=C01,WIDTH=100
(ALISTCOL)
COLUMN=4,SIGN=L,ATTRIB=U,CODE=03,NAME=C04,WIDTH=8,TEXT='Nr.'
COLUMN=5,SIGN=L,ATTRIB=U,CODE=03,NAME=C05,WIDTH=80,TEXT='Titel'
COLUMN=6,SIGN=L,ATTRIB=U,CODE=03,NAME=C06,WIDTH=12,TEXT='Jahr'
(ASCANCOL)
COLUMN=2,SIGN=S,ATTRIB=U,CODE=02,NAME=C02,WIDTH=20,TEXT='Nr.'
COLUMN=3,SIGN=S,ATTRIB=U,CODE=02,NAME=C03,WIDTH=80,TEXT='Eintrag'

* ---------------------------------------------------------------- pool procedures
(APROCS)
SCRIPT=COMPL,PATH=../etc/compl.prc
SCRIPT=CHECK,PATH=../etc/check.prc
