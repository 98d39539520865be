<?xml version="1.0" encoding="UTF-8"?>
<!-- A claim letter of the printout service as HTML: the heading, the
     vendor's name and address, the claimed orders as a table, the closing
     words. Dates of eight digits after "label: " are shown as DD.MM.YYYY. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/PRINTOUT">
    <html>
      <head>
        <title><xsl:value-of select="HEADER/TEXT"/></title>
        <style>
          body { font-family: serif; max-width: 40em; margin: 2em auto; }
          td { padding: 0.2em 0.8em 0.2em 0; }
        </style>
      </head>
      <body>
        <xsl:apply-templates select="HEADER"/>
        <xsl:apply-templates select="REPREC"/>
        <p>Die folgenden Bestellungen sind bei uns noch nicht eingegangen:</p>
        <table><xsl:apply-templates select="REPLIST/REPREC"/></table>
        <p>Bitte liefern Sie bald oder teilen Sie uns den Stand mit.</p>
        <p>Stadtbibliothek Beispielstadt, Erwerbung</p>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="HEADER"><h1><xsl:value-of select="TEXT"/></h1></xsl:template>
  <xsl:template match="PRINTOUT/REPREC">
    <div class="vendor"><xsl:for-each select="LINE"><p><xsl:value-of select="COL"/></p></xsl:for-each></div>
  </xsl:template>
  <xsl:template match="REPLIST/REPREC">
    <xsl:for-each select="LINE">
      <tr>
        <xsl:for-each select="COL">
          <td><xsl:call-template name="value"><xsl:with-param name="text" select="string(.)"/></xsl:call-template></td>
        </xsl:for-each>
      </tr>
    </xsl:for-each>
  </xsl:template>

  <xsl:template name="value">
    <xsl:param name="text"/>
    <xsl:variable name="tail" select="substring-after($text, ': ')"/>
    <xsl:choose>
      <xsl:when test="string-length($tail) = 8 and translate($tail, '0123456789', '') = ''">
        <xsl:value-of select="concat(substring-before($text, ': '), ': ', substring($tail, 7, 2), '.',
                                     substring($tail, 5, 2), '.', substring($tail, 1, 4))"/>
      </xsl:when>
      <xsl:otherwise><xsl:value-of select="$text"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
