<?xml version="1.0" encoding="UTF-8"?>
<!-- MABxml (datei / datensatz / feld / uf) into the service's XML form.
     The leader is made of the record's status, MAB version and type as the
     MAB2 line format carries it: 5 digits length, status, version,
     "1200024", six blanks, type. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/">
    <collection>
      <xsl:apply-templates select="//*[local-name()='datensatz']"/>
    </collection>
  </xsl:template>

  <xsl:template match="*[local-name()='datensatz']">
    <document>
      <leader>
        <xsl:value-of select="concat('00000', substring(concat(@status, ' '), 1, 1),
                                     substring(concat(@mabVersion, '    '), 1, 4),
                                     '1200024      ', substring(concat(@typ, ' '), 1, 1))"/>
      </leader>
      <xsl:for-each select="*[local-name()='feld']">
        <datafield tag="{@nr}" ind1="{@ind}">
          <xsl:choose>
            <xsl:when test="*[local-name()='uf']">
              <xsl:for-each select="*[local-name()='uf']">
                <subfield code="{@code}"><xsl:value-of select="normalize-space(.)"/></subfield>
              </xsl:for-each>
            </xsl:when>
            <xsl:otherwise><xsl:value-of select="normalize-space(.)"/></xsl:otherwise>
          </xsl:choose>
        </datafield>
      </xsl:for-each>
    </document>
  </xsl:template>
</xsl:stylesheet>
