<?xml version="1.0" encoding="UTF-8"?>
<!-- A letter of the printout service as HTML: the form's heading, then each
     record as a block of lines, linked records indented, closing parts set
     apart. A value of eight digits after "label: " is a date (YYYYMMDD) and
     is shown as DD.MM.YYYY. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/PRINTOUT">
    <html>
      <head>
        <title><xsl:value-of select="HEADER/TEXT"/></title>
        <style>
          body { font-family: serif; max-width: 40em; margin: 2em auto; }
          .entry { margin-left: 2em; }
          .footer { margin-top: 2em; }
          p { margin: 0.2em 0; }
        </style>
      </head>
      <body><xsl:apply-templates/></body>
    </html>
  </xsl:template>

  <xsl:template match="HEADER"><h1><xsl:apply-templates select="TEXT"/></h1></xsl:template>
  <xsl:template match="REPREC"><div class="record"><xsl:apply-templates/></div></xsl:template>
  <xsl:template match="ENTRY"><div class="entry"><xsl:apply-templates/></div></xsl:template>
  <xsl:template match="FOOTER"><div class="footer"><xsl:apply-templates/></div></xsl:template>
  <xsl:template match="LF"><br/></xsl:template>

  <xsl:template match="LINE">
    <p>
      <xsl:for-each select="COL">
        <xsl:if test="position() &gt; 1"> &#183; </xsl:if>
        <xsl:call-template name="value"><xsl:with-param name="text" select="string(.)"/></xsl:call-template>
      </xsl:for-each>
    </p>
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
